// Makes the runtime emit every event family the profiler knows: GCs and
// allocation ticks, JIT and method loads, module loads, exceptions, monitor
// contention, tasks, Kestrel connections and requests, and SqlClient scopes.
// Modes:
//   all            every family once, then exit
//   core           GC, allocations, exceptions, contention and tasks only
//   kestrel        a Kestrel server answering RequestPaths
//   sql            a SqlClient connection attempt to a closed port
//   cpu SECONDS    burn CPU in one known hot method
//   stress S T     T threads emit events from deep, varied stacks for S seconds
//                  while they burn CPU: the source of the large benchmark trace
//   service S T [N]  T named threads handle requests for S seconds through
//                  deep, varied stacks that throw and catch, allocate and
//                  burn CPU: the source of the stack-heavy benchmark trace;
//                  the last N frames (6) of each stack are chosen at random
//   web S          a Kestrel server and a client requesting from it for S
//                  seconds: the source of the small-recording benchmark
//   live S         CPU work with frequent collections for S seconds
//   emit N         after a line on stdin, emit N events of Tarnwell-Bench
//   startup [MS]   the first thing it does: burn CPU in its own method for
//                  MS milliseconds (300), then exit with code 42
//   target         a live target driven over stdin: "ready PORT PID" once its
//                  Kestrel server listens, then per line "work" (one burst of
//                  every family, answered "done") or "exit"
using System.Diagnostics;
using System.Runtime.CompilerServices;
using Microsoft.AspNetCore.Builder;
using Microsoft.AspNetCore.Hosting;
using Microsoft.Data.SqlClient;

public static class Program
{
    public static async Task<int> Main(string[] args)
    {
        var mode = args.Length > 0 ? args[0] : "all";
        switch (mode)
        {
            case "all":
                await Everything();
                return 0;
            case "startup":
                var startupMs = args.Length > 1 ? int.Parse(args[1]) : 300;
                Console.WriteLine($"checksum {Startup.FirstWork(startupMs)}");
                return 42;
            case "core":
                Allocate();
                ThrowAndCatch();
                Contend();
                await TaskWork();
                return 0;
            case "kestrel":
                await Kestrel();
                return 0;
            case "sql":
                await Sql();
                return 0;
            case "cpu":
                var seconds = args.Length > 1 ? double.Parse(args[1]) : 2.0;
                Console.WriteLine($"checksum {HotLoop.Run(TimeSpan.FromSeconds(seconds))}");
                return 0;
            case "stress":
                var stressSeconds = args.Length > 1 ? double.Parse(args[1]) : 10.0;
                var threads = args.Length > 2 ? int.Parse(args[2]) : 16;
                Console.WriteLine($"events {Stress.Run(TimeSpan.FromSeconds(stressSeconds), threads)}");
                return 0;
            case "service":
                var serviceSeconds = args.Length > 1 ? double.Parse(args[1]) : 10.0;
                var serviceThreads = args.Length > 2 ? int.Parse(args[2]) : 3;
                var randomTail = args.Length > 3 ? int.Parse(args[3]) : 6;
                Console.WriteLine($"requests {Service.Run(TimeSpan.FromSeconds(serviceSeconds), serviceThreads, randomTail)}");
                return 0;
            case "web":
                var webSeconds = args.Length > 1 ? double.Parse(args[1]) : 2.0;
                Console.WriteLine($"requests {await Web(TimeSpan.FromSeconds(webSeconds))}");
                return 0;
            case "live":
                // A target for live sessions: CPU work with a collection
                // every 100 ms, for the given seconds.
                var liveSeconds = args.Length > 1 ? double.Parse(args[1]) : 5.0;
                var liveWatch = Stopwatch.StartNew();
                long liveSum = 0;
                // Measured from the last collection, not by the clock's
                // remainder: a loaded machine would miss those windows.
                long lastCollection = -100;
                while (liveWatch.Elapsed.TotalSeconds < liveSeconds)
                {
                    liveSum += HotLoop.SpinPrimes(20000);
                    if (liveWatch.ElapsedMilliseconds - lastCollection >= 100)
                    {
                        GC.Collect(0, GCCollectionMode.Forced, blocking: true);
                        lastCollection = liveWatch.ElapsedMilliseconds;
                    }
                }
                Console.WriteLine($"checksum {liveSum}");
                return 0;
            case "emit":
                // Waits for a line on stdin (a session attaches meanwhile),
                // then emits N events as fast as one thread can.
                var count = args.Length > 1 ? long.Parse(args[1]) : 1_000_000;
                Console.WriteLine($"pid {Environment.ProcessId}");
                Console.Out.Flush();
                Console.ReadLine();
                for (long i = 0; i < count; i++) BenchSource.Log.Tick(i, 0, "emit");
                Console.WriteLine($"emitted {count}");
                Console.Out.Flush();
                Thread.Sleep(1000);
                return 0;
            case "target":
                await LiveTarget.Run();
                return 0;
            default:
                Console.Error.WriteLine($"unknown mode {mode}");
                return 2;
        }
    }

    static async Task Everything()
    {
        Allocate();
        ThrowAndCatch();
        Contend();
        await TaskWork();
        await Kestrel();
        await Sql();
        GC.Collect(2, GCCollectionMode.Forced, blocking: true);
    }

    static readonly List<byte[]> Keep = new();

    static void Allocate()
    {
        long total = 0;
        for (int i = 0; i < 20000; i++)
        {
            var block = new byte[1024 + (i % 7) * 512];
            total += block.Length;
            if (i % 100 == 0) Keep.Add(block);
        }
        for (int i = 0; i < 3; i++) GC.Collect(i, GCCollectionMode.Forced, blocking: true);
        Console.WriteLine($"allocated {total}");
    }

    static void ThrowAndCatch()
    {
        int caught = 0;
        foreach (var make in new Func<Exception>[] {
            () => new InvalidOperationException("workload invalid operation"),
            () => new ArgumentException("workload argument"),
            () => new TimeoutException("workload timeout") })
        {
            try { throw make(); }
            catch (Exception) { caught++; }
        }
        Console.WriteLine($"caught {caught}");
    }

    static readonly object Gate = new();

    static void Contend()
    {
        var start = new ManualResetEventSlim();
        var threads = Enumerable.Range(0, 4).Select(_ => new Thread(() =>
        {
            start.Wait();
            for (int i = 0; i < 50; i++)
                lock (Gate) { Thread.SpinWait(20000); }
        })).ToList();
        threads.ForEach(t => t.Start());
        start.Set();
        threads.ForEach(t => t.Join());
    }

    static async Task TaskWork()
    {
        var tasks = Enumerable.Range(0, 8).Select(async i =>
        {
            await Task.Delay(5 + i);
            return await Task.Run(() => i * i);
        });
        var results = await Task.WhenAll(tasks);
        var t = Task.Run(() => Thread.Sleep(20));
        t.Wait();
        Console.WriteLine($"tasks {results.Sum()}");
    }

    public static readonly string[] RequestPaths = { "/hello", "/items/42", "/missing" };

    static async Task Kestrel()
    {
        var builder = WebApplication.CreateSlimBuilder();
        builder.Logging.ClearProviders();
        builder.WebHost.UseUrls("http://127.0.0.1:0");
        var app = builder.Build();
        // A bare request delegate: routing would JIT a thousand more methods
        // and the recording would only grow.
        app.Run(context =>
        {
            var path = context.Request.Path.Value ?? "";
            if (path == "/missing") context.Response.StatusCode = 404;
            return context.Response.WriteAsync(path);
        });
        await app.StartAsync();
        var address = app.Urls.First();
        using (var client = new HttpClient())
        {
            foreach (var path in RequestPaths)
            {
                using var response = await client.GetAsync(address + path);
                Console.WriteLine($"GET {path} {(int)response.StatusCode}");
            }
        }
        await app.StopAsync();
    }

    static async Task<long> Web(TimeSpan duration)
    {
        var builder = WebApplication.CreateSlimBuilder();
        builder.Logging.ClearProviders();
        builder.WebHost.UseUrls("http://127.0.0.1:0");
        var app = builder.Build();
        app.Run(context => context.Response.WriteAsync(new string('x', 64 + (context.Request.Path.Value ?? "").Length)));
        await app.StartAsync();
        var address = app.Urls.First();
        long requests = 0;
        var watch = Stopwatch.StartNew();
        using (var client = new HttpClient())
        {
            while (watch.Elapsed < duration)
            {
                var body = await client.GetStringAsync($"{address}/items/{requests % 100}");
                requests += body.Length > 0 ? 1 : 0;
            }
        }
        await app.StopAsync();
        return requests;
    }

    static async Task Sql()
    {
        // Port 1 on loopback is closed: the attempt fails fast but runs the
        // connection, pooling and retry code with its scopes and traces.
        var cs = "Server=tcp:127.0.0.1,1;Connect Timeout=1;Pooling=true;Encrypt=false;ConnectRetryCount=0";
        try
        {
            await using var connection = new SqlConnection(cs);
            await connection.OpenAsync();
        }
        catch (Exception e)
        {
            Console.WriteLine($"sql failed as expected: {e.GetType().Name}");
        }
    }
}

public static class Startup
{
    // Runs only in the program's first moments: samples in it were taken
    // then.
    [MethodImpl(MethodImplOptions.NoInlining)]
    public static long FirstWork(int milliseconds)
    {
        var watch = Stopwatch.StartNew();
        long sum = 0;
        while (watch.ElapsedMilliseconds < milliseconds) sum += HotLoop.SpinPrimes(5000);
        return sum;
    }
}

public static class HotLoop
{
    // The method a CPU profile must put on top.
    [MethodImpl(MethodImplOptions.NoInlining)]
    public static long SpinPrimes(int limit)
    {
        long sum = 0;
        for (int n = 2; n < limit; n++)
        {
            bool prime = true;
            for (int d = 2; d * d <= n; d++)
                if (n % d == 0) { prime = false; break; }
            if (prime) sum += n;
        }
        return sum;
    }

    public static long Run(TimeSpan duration)
    {
        var watch = Stopwatch.StartNew();
        long checksum = 0;
        while (watch.Elapsed < duration) checksum += SpinPrimes(200000);
        return checksum;
    }
}

[System.Diagnostics.Tracing.EventSource(Name = "Tarnwell-Bench")]
public sealed class BenchSource : System.Diagnostics.Tracing.EventSource
{
    public static readonly BenchSource Log = new();

    [System.Diagnostics.Tracing.Event(1, Level = System.Diagnostics.Tracing.EventLevel.Informational)]
    public void Tick(long sequence, int depth, string label) => WriteEvent(1, sequence, depth, label);
}

public static class Stress
{
    static readonly string[] Labels = { "parse", "render", "io-wait", "serialize", "hash", "compress" };

    public static long Run(TimeSpan duration, int threads)
    {
        long total = 0;
        var deadline = Stopwatch.StartNew();
        var workers = Enumerable.Range(0, threads).Select(t => new Thread(() =>
        {
            long sequence = 0;
            var random = new Random(t);
            while (deadline.Elapsed < duration)
                sequence += Descend(random.Next(20, 40), random, t);
            Interlocked.Add(ref total, sequence);
        })).ToList();
        workers.ForEach(w => w.Start());
        workers.ForEach(w => w.Join());
        return total;
    }

    // Three frame shapes chosen at random give the many distinct stacks of a
    // real application; the leaf emits a burst of events and burns some CPU.
    [MethodImpl(MethodImplOptions.NoInlining)]
    static long Descend(int depth, Random random, int thread) =>
        depth == 0 ? Leaf(random, thread) : (random.Next(3)) switch
        {
            0 => StepA(depth - 1, random, thread),
            1 => StepB(depth - 1, random, thread),
            _ => StepC(depth - 1, random, thread),
        };

    [MethodImpl(MethodImplOptions.NoInlining)]
    static long StepA(int depth, Random random, int thread) => Descend(depth, random, thread) + 1 - 1;
    [MethodImpl(MethodImplOptions.NoInlining)]
    static long StepB(int depth, Random random, int thread) => Descend(depth, random, thread) * 1;
    [MethodImpl(MethodImplOptions.NoInlining)]
    static long StepC(int depth, Random random, int thread) => -(-Descend(depth, random, thread));

    [MethodImpl(MethodImplOptions.NoInlining)]
    static long Leaf(Random random, int thread)
    {
        long n = 0;
        for (int i = 0; i < 32; i++)
        {
            BenchSource.Log.Tick(n, thread, Labels[random.Next(Labels.Length)]);
            n++;
        }
        Thread.SpinWait(200);
        return n;
    }
}

// A busy service as the profiler sees it: every event carries a deep stack
// that differs from request to request. Twelve layer methods called in
// varied orders make the stacks; at the bottom, a request throws and catches
// a few frames up, allocates, or computes.
public static class Service
{
    public static long Run(TimeSpan duration, int threads, int randomTail)
    {
        RandomTail = randomTail;
        long total = 0;
        var deadline = Stopwatch.StartNew();
        var workers = Enumerable.Range(0, threads).Select(t => new Thread(() =>
        {
            long handled = 0;
            var random = new Random(1000 + t);
            while (deadline.Elapsed < duration)
            {
                Handle(random);
                handled++;
            }
            Interlocked.Add(ref total, handled);
        }) { Name = $"service-{t}" }).ToList();
        workers.ForEach(w => w.Start());
        workers.ForEach(w => w.Join());
        return total;
    }

    // A service has many request paths, but not a new one per request: 256
    // routes through the layers, each 25 to 45 deep, and only the last few
    // frames above the bottom (six unless told) chosen afresh.
    static int RandomTail = 6;
    static readonly int[][] Routes = Enumerable.Range(0, 256).Select(i =>
    {
        var r = new Random(i);
        return Enumerable.Range(0, r.Next(25, 45)).Select(_ => r.Next(12)).ToArray();
    }).ToArray();

    [MethodImpl(MethodImplOptions.NoInlining)]
    static long Handle(Random random)
    {
        try { return Layer(new Request(Routes[random.Next(Routes.Length)], random), 0); }
        catch (Exception) { return 0; }
    }

    sealed record Request(int[] Route, Random Random);

    delegate long Step(Request q, int depth);
    static readonly Step[] Layers =
    {
        L0, L1, L2, L3, L4, L5, L6, L7, L8, L9, L10, L11,
    };

    [MethodImpl(MethodImplOptions.NoInlining)]
    static long Layer(Request q, int depth)
    {
        if (depth == q.Route.Length + RandomTail) return Bottom(q.Random);
        var next = depth < q.Route.Length ? q.Route[depth] : q.Random.Next(Layers.Length);
        return Layers[next](q, depth + 1);
    }

    [MethodImpl(MethodImplOptions.NoInlining)] static long L0(Request q, int d) => Layer(q, d) + 1;
    [MethodImpl(MethodImplOptions.NoInlining)] static long L1(Request q, int d) => Layer(q, d) + 2;
    [MethodImpl(MethodImplOptions.NoInlining)] static long L2(Request q, int d) => Layer(q, d) + 3;
    [MethodImpl(MethodImplOptions.NoInlining)] static long L3(Request q, int d) => Layer(q, d) + 4;
    [MethodImpl(MethodImplOptions.NoInlining)] static long L4(Request q, int d) => Layer(q, d) + 5;
    [MethodImpl(MethodImplOptions.NoInlining)] static long L5(Request q, int d) => Layer(q, d) + 6;
    [MethodImpl(MethodImplOptions.NoInlining)] static long L6(Request q, int d) => Layer(q, d) + 7;
    [MethodImpl(MethodImplOptions.NoInlining)] static long L7(Request q, int d) => Layer(q, d) + 8;
    [MethodImpl(MethodImplOptions.NoInlining)]
    static long L8(Request q, int d)
    {
        try { return Layer(q, d); }
        catch (FormatException) { return -1; }
    }
    [MethodImpl(MethodImplOptions.NoInlining)]
    static long L9(Request q, int d)
    {
        try { return Layer(q, d); }
        catch (InvalidOperationException) { return -2; }
    }
    [MethodImpl(MethodImplOptions.NoInlining)]
    static long L10(Request q, int d)
    {
        try { return Layer(q, d); }
        finally { Interlocked.Increment(ref finallies); }
    }
    [MethodImpl(MethodImplOptions.NoInlining)] static long L11(Request q, int d) => Layer(q, d) ^ 1;

    static long finallies;
    static readonly List<object> Cache = new();

    [MethodImpl(MethodImplOptions.NoInlining)]
    static long Bottom(Random random)
    {
        switch (random.Next(4))
        {
            case 0: return Fail(random);
            case 1: return Allocate(random);
            default: return HotLoop.SpinPrimes(400 + random.Next(400));
        }
    }

    // Mostly not caught here: they unwind to the nearest layer that catches
    // them, or end the request in Handle.
    [MethodImpl(MethodImplOptions.NoInlining)]
    static long Fail(Random random)
    {
        try
        {
            if (random.Next(2) == 0) throw new FormatException("bad request");
            throw new InvalidOperationException("bad state");
        }
        catch (Exception e) when (random.Next(3) == 0)
        {
            return e.Message.Length;
        }
    }

    [MethodImpl(MethodImplOptions.NoInlining)]
    static long Allocate(Random random)
    {
        long size = 0;
        for (int i = 0; i < 16; i++)
        {
            var block = new byte[512 + random.Next(8192)];
            size += block.Length;
            if (random.Next(64) == 0)
                lock (Cache)
                {
                    Cache.Add(block);
                    if (Cache.Count > 4096) Cache.Clear();
                }
        }
        return size;
    }
}

// The program a live profiling session watches. Before any session, the
// methods of BeforeSession are compiled; the first "work" compiles those of
// AfterSession, so a snapshot holds samples in code of both kinds. Optimised
// at once (no tiering): each method is compiled exactly once.
public static class LiveTarget
{
    public const int BusyThreads = 4;
    public static readonly string[] ExceptionTypes = { "InvalidOperationException", "FormatException" };
    public const int InvalidOperations = 5, Formats = 3, Collections = 3;

    public static async Task Run()
    {
        var builder = WebApplication.CreateSlimBuilder();
        builder.Logging.ClearProviders();
        builder.WebHost.UseUrls("http://127.0.0.1:0");
        var app = builder.Build();
        app.Run(context => context.Response.WriteAsync(context.Request.Path.Value ?? ""));
        await app.StartAsync();
        var port = new Uri(app.Urls.First()).Port;
        BeforeSession.Spin(100);
        Console.WriteLine($"ready {port} {Environment.ProcessId}");
        Console.Out.Flush();
        string? line;
        while ((line = Console.ReadLine()) != null)
        {
            if (line == "exit") break;
            if (line == "work")
            {
                await Work();
                Console.WriteLine("done");
                Console.Out.Flush();
            }
        }
        await app.StopAsync();
    }

    static async Task Work()
    {
        var stop = Stopwatch.StartNew();
        var busy = Enumerable.Range(0, BusyThreads).Select(i => new Thread(() =>
        {
            long sum = 0;
            while (stop.ElapsedMilliseconds < 1500)
                sum += i % 2 == 0 ? BeforeSession.Spin(2000) : AfterSession.Spin(2000);
            GC.KeepAlive(sum);
        }) { Name = $"tw-busy-{i}" }).ToList();
        busy.ForEach(t => t.Start());

        for (int i = 0; i < InvalidOperations; i++)
            try { throw new InvalidOperationException("live target"); } catch (InvalidOperationException) { }
        for (int i = 0; i < Formats; i++)
            try { int.Parse("not a number"); } catch (FormatException) { }

        var gate = new object();
        var contenders = Enumerable.Range(0, 3).Select(_ => new Thread(() =>
        {
            for (int i = 0; i < 20; i++)
                lock (gate) { Thread.Sleep(2); }
        }) { Name = "tw-contender" }).ToList();
        contenders.ForEach(t => t.Start());

        var keep = new List<byte[]>();
        for (int i = 0; i < 4000; i++)
        {
            var block = new byte[8 * 1024];
            if (i % 50 == 0) keep.Add(block);
        }
        GC.KeepAlive(keep);
        for (int i = 0; i < Collections; i++) GC.Collect(2, GCCollectionMode.Forced, blocking: true);

        var squares = await Task.WhenAll(Enumerable.Range(0, 8).Select(i => Task.Run(async () =>
        {
            await Task.Delay(5);
            return i * i;
        })));
        GC.KeepAlive(squares);

        contenders.ForEach(t => t.Join());
        busy.ForEach(t => t.Join());
    }
}

public static class BeforeSession
{
    [MethodImpl(MethodImplOptions.NoInlining | MethodImplOptions.AggressiveOptimization)]
    public static long Spin(int limit) => HotLoop.SpinPrimes(limit) + Primes(limit);

    [MethodImpl(MethodImplOptions.NoInlining | MethodImplOptions.AggressiveOptimization)]
    static long Primes(int limit)
    {
        long sum = 0;
        for (int n = 2; n < limit; n++)
        {
            bool prime = true;
            for (int d = 2; d * d <= n; d++)
                if (n % d == 0) { prime = false; break; }
            if (prime) sum += n;
        }
        return sum;
    }
}

public static class AfterSession
{
    [MethodImpl(MethodImplOptions.NoInlining | MethodImplOptions.AggressiveOptimization)]
    public static long Spin(int limit)
    {
        long sum = 0;
        for (int n = 2; n < limit; n++)
        {
            bool prime = true;
            for (int d = 2; d * d <= n; d++)
                if (n % d == 0) { prime = false; break; }
            if (prime) sum += n * 3;
        }
        return sum;
    }
}
