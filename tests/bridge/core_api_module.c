/* The module a profiled application's measure calls go through, as the
 * tests need it: it accepts one registration, and its test entry points
 * call the registered interface from whatever thread calls them. Calls and
 * unregistration exclude each other, so that an interface is never called
 * once its owner has taken it back. Built without its unregistration
 * function (CORE_API_WITHOUT_UNREGISTER) it is a module that lacks one. */

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#define EXPORT __attribute__((visibility("default")))
#define E_FAIL ((int32_t)0x80004005)
#define E_INVALIDARG ((int32_t)0x80070057)
#define NOT_REGISTERED ((int32_t)0x8000000A) /* E_PENDING: nothing to call yet */

struct measure_iface;
struct measure_vtbl {
  int32_t (*check_active)(struct measure_iface*, uint32_t* features);
  int32_t (*start_collecting)(struct measure_iface*, const uint16_t* group);
  int32_t (*stop_collecting)(struct measure_iface*);
  int32_t (*save)(struct measure_iface*, const uint16_t* name);
  int32_t (*drop)(struct measure_iface*);
  int32_t (*detach)(struct measure_iface*, void* semaphore);
};
struct measure_iface {
  const struct measure_vtbl* vtbl;
};

static pthread_rwlock_t lock = PTHREAD_RWLOCK_INITIALIZER;
static struct measure_iface* registered;
static unsigned registered_id;
static int32_t refuse_next_register;
static int32_t refuse_next_unregister;
static int registrations;

EXPORT int V1_MeasureApi_Register(unsigned id, struct measure_iface* iface) {
  pthread_rwlock_wrlock(&lock);
  int32_t result = 0;
  if (refuse_next_register) {
    result = refuse_next_register;
    refuse_next_register = 0;
  } else if (registered || !iface) {
    result = E_INVALIDARG;
  } else {
    registered = iface;
    registered_id = id;
    ++registrations;
  }
  pthread_rwlock_unlock(&lock);
  return result;
}

#ifndef CORE_API_WITHOUT_UNREGISTER
EXPORT int V1_MeasureApi_Unregister(unsigned id) {
  pthread_rwlock_wrlock(&lock);
  int32_t result = 0;
  if (!registered || id != registered_id) {
    result = E_INVALIDARG;
  } else {
    registered = NULL;
    if (refuse_next_unregister) {
      result = refuse_next_unregister;
      refuse_next_unregister = 0;
    }
  }
  pthread_rwlock_unlock(&lock);
  return result;
}
#endif

/* Test entry points. */
EXPORT void CoreApiTest_RefuseNextRegister(int32_t hr) { refuse_next_register = hr; }
EXPORT void CoreApiTest_RefuseNextUnregister(int32_t hr) { refuse_next_unregister = hr; }
EXPORT unsigned CoreApiTest_RegisteredId(void) { return registered ? registered_id : 0; }
EXPORT int CoreApiTest_Registrations(void) { return registrations; }

#define CALL(expr)                                      \
  do {                                                  \
    pthread_rwlock_rdlock(&lock);                       \
    int32_t r = registered ? (expr) : NOT_REGISTERED;   \
    pthread_rwlock_unlock(&lock);                       \
    return r;                                           \
  } while (0)

EXPORT int32_t CoreApiTest_CheckActive(uint32_t* features) {
  CALL(registered->vtbl->check_active(registered, features));
}
EXPORT int32_t CoreApiTest_StartCollecting(const uint16_t* group) {
  CALL(registered->vtbl->start_collecting(registered, group));
}
EXPORT int32_t CoreApiTest_StopCollecting(void) { CALL(registered->vtbl->stop_collecting(registered)); }
EXPORT int32_t CoreApiTest_Save(const uint16_t* name) { CALL(registered->vtbl->save(registered, name)); }
EXPORT int32_t CoreApiTest_Drop(void) { CALL(registered->vtbl->drop(registered)); }
EXPORT int32_t CoreApiTest_Detach(void) { CALL(registered->vtbl->detach(registered, NULL)); }
