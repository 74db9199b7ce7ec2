#pragma once
// A writer that reaches up into the dispatcher: the layer check must refuse it.
#include "event_pipe_api/src/providers/providers.h"
#include "event_pipe_api/src/dispatch.h"
