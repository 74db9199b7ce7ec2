// Makes the runtime emit every event family the profiler knows: GCs and
// allocation ticks, JIT and method loads, module loads, exceptions, monitor
// contention, tasks, Kestrel connections and requests, and SqlClient scopes.
// Modes:
//   core           GC, allocations, exceptions, contention and tasks only
//   kestrel        a Kestrel server answering RequestPaths
//   sql            a SqlClient connection attempt to a closed port
//   cpu SECONDS    burn CPU in one known hot method
//   live S         CPU work with frequent collections for S seconds
//   contained S    for S seconds, one named thread of its own spins in its
//                  own method and throws now and then: a program in a container
//   startup [MS]   the first thing it does: burn CPU in its own method for
//                  MS milliseconds (300), then exit with code 42
//   incident WHAT [S]  quiet for 2 s, then one incident, said on stdout as
//                  "incident" just before it, then quiet until S seconds (6):
//                  timeout (throws TimeoutException), other-exception,
//                  gc-pause (a long blocking collection), slow-request and
//                  fast-request (to its own Kestrel server), contention (a
//                  lock held 500 ms), cpu (four threads busy for 2 s), idle
//   throw-rate N S  throws N InvalidOperationExceptions a second for S
//                  seconds, then a TimeoutException, then 3 s more of them
//   crash HOW      dies: format (double.Parse of "x", its first line),
//                  failfast (Environment.FailFast after 300 ms of work),
//                  thread (an exception unhandled on a thread of its own
//                  after 300 ms)
//   target         a live target driven over stdin: "ready PORT PID" once its
//                  Kestrel server listens, then per line "work" (one burst of
//                  every family) or "spin" (one busy thread for 1.5 s), each
//                  answered "done", or "exit"
// The benchmarks' workloads are bench/dotnet/BenchWorkload.
using System.Diagnostics;
using System.Runtime.CompilerServices;
using Microsoft.AspNetCore.Builder;
using Microsoft.AspNetCore.Hosting;
using Microsoft.Data.SqlClient;

public static class Program
{
    public static int Main(string[] args)
    {
        // A crash happens here, outside any task, so that the runtime's crash
        // report shows the frames that threw and not a task's rethrow.
        if (args.Length > 1 && args[0] == "crash") return Crash.Die(args[1]);
        return Run(args).GetAwaiter().GetResult();
    }

    static async Task<int> Run(string[] args)
    {
        var mode = args.Length > 0 ? args[0] : "";
        switch (mode)
        {
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
            case "live":
                // A target for live sessions: CPU work with a collection
                // every 100 ms, for the given seconds.
                var liveSeconds = args.Length > 1 ? double.Parse(args[1]) : 5.0;
                var liveWatch = Stopwatch.StartNew();
                long liveSum = 0;
                // Measured from the last collection, not by the clock's
                // remainder: a loaded machine would miss those windows.
                long lastCollection = -100;
                // Said once the hot method has run a second: what a test
                // waits for before it ends a recording of its start.
                bool said = false;
                while (liveWatch.Elapsed.TotalSeconds < liveSeconds)
                {
                    liveSum += HotLoop.SpinPrimes(20000);
                    if (!said && liveWatch.ElapsedMilliseconds >= 1000)
                    {
                        Console.WriteLine("spinning");
                        Console.Out.Flush();
                        said = true;
                    }
                    if (liveWatch.ElapsedMilliseconds - lastCollection >= 100)
                    {
                        GC.Collect(0, GCCollectionMode.Forced, blocking: true);
                        lastCollection = liveWatch.ElapsedMilliseconds;
                    }
                }
                Console.WriteLine($"checksum {liveSum}");
                return 0;
            case "incident":
                await Incident.Run(args[1], args.Length > 2 ? double.Parse(args[2]) : 6.0);
                return 0;
            case "throw-rate":
                Incident.ThrowAtRate(int.Parse(args[1]), double.Parse(args[2]));
                return 0;
            case "contained":
                Contained.Run(TimeSpan.FromSeconds(args.Length > 1 ? double.Parse(args[1]) : 10.0));
                return 0;
            case "target":
                await LiveTarget.Run();
                return 0;
            default:
                Console.Error.WriteLine($"unknown mode {mode}");
                return 2;
        }
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

public static class Incident
{
    public static async Task Run(string what, double seconds)
    {
        var watch = Stopwatch.StartNew();
        // The heap a long collection goes through is made before the quiet.
        if (what == "gc-pause") FillHeap();
        Quiet(TimeSpan.FromSeconds(2) - watch.Elapsed);
        Console.WriteLine("incident");
        Console.Out.Flush();
        switch (what)
        {
            case "timeout":
                try { throw new TimeoutException("incident"); } catch (TimeoutException) { }
                break;
            case "other-exception":
                try { throw new ArgumentException("incident"); } catch (ArgumentException) { }
                break;
            case "gc-pause":
                LongCollection();
                break;
            case "slow-request":
            case "fast-request":
                await Request(what == "slow-request" ? 1500 : 5);
                break;
            case "contention":
                HoldLock(500);
                break;
            case "cpu":
                // On four threads: on a busy machine each gets less than a core.
                var spinners = Enumerable.Range(0, 4).Select(_ => new Thread(() => HotLoop.Run(TimeSpan.FromSeconds(2)))).ToList();
                spinners.ForEach(t => t.Start());
                spinners.ForEach(t => t.Join());
                break;
            case "idle":
                break;
            default:
                throw new ArgumentException($"unknown incident {what}");
        }
        Quiet(TimeSpan.FromSeconds(seconds) - watch.Elapsed);
    }

    // A little work now and then: a program that is alive but idle.
    static void Quiet(TimeSpan duration)
    {
        var watch = Stopwatch.StartNew();
        while (watch.Elapsed < duration)
        {
            HotLoop.SpinPrimes(500);
            Thread.Sleep(20);
        }
    }

    static readonly List<object> Live = new();

    // A heap of many small live objects, each holding the one before, then
    // collected whole while they live.
    // Full collections wait until the heap is made: its own are short.
    static void FillHeap()
    {
        var mode = System.Runtime.GCSettings.LatencyMode;
        System.Runtime.GCSettings.LatencyMode = System.Runtime.GCLatencyMode.LowLatency;
        object? previous = null;
        for (int i = 0; i < 6_000_000; i++) Live.Add(previous = new object?[] { previous, null });
        System.Runtime.GCSettings.LatencyMode = mode;
    }

    [MethodImpl(MethodImplOptions.NoInlining)]
    static void LongCollection()
    {
        GC.Collect(2, GCCollectionMode.Forced, blocking: true, compacting: true);
        Live.Clear();
    }

    static async Task Request(int milliseconds)
    {
        var builder = WebApplication.CreateSlimBuilder();
        builder.Logging.ClearProviders();
        builder.WebHost.UseUrls("http://127.0.0.1:0");
        var app = builder.Build();
        app.Run(async context =>
        {
            await Task.Delay(milliseconds);
            await context.Response.WriteAsync("ok");
        });
        await app.StartAsync();
        using (var client = new HttpClient()) await client.GetStringAsync(app.Urls.First() + "/incident");
        await app.StopAsync();
    }

    static readonly object Gate = new();

    static void HoldLock(int milliseconds)
    {
        var held = new ManualResetEventSlim();
        var holder = new Thread(() =>
        {
            lock (Gate)
            {
                held.Set();
                Thread.Sleep(milliseconds);
            }
        });
        holder.Start();
        held.Wait();
        lock (Gate) { }
        holder.Join();
    }

    public static void ThrowAtRate(int perSecond, double seconds)
    {
        var watch = Stopwatch.StartNew();
        long thrown = 0;
        void Until(double end)
        {
            while (watch.Elapsed.TotalSeconds < end)
            {
                if (thrown < (long)(watch.Elapsed.TotalSeconds * perSecond))
                {
                    try { throw new InvalidOperationException("rate"); } catch (InvalidOperationException) { }
                    thrown++;
                }
                Thread.Sleep(2);
            }
        }
        Until(seconds);
        try { throw new TimeoutException("the trigger"); } catch (TimeoutException) { }
        Console.WriteLine($"trigger after {thrown}");
        Console.Out.Flush();
        Until(seconds + 3);
    }
}

public static class Crash
{
    public static int Die(string how)
    {
        switch (how)
        {
            case "format":
                return (int)double.Parse("x");
            case "failfast":
                HotLoop.SpinPrimes(200000);
                Thread.Sleep(300);
                Environment.FailFast("the workload fails fast");
                return 1;
            case "thread":
                var t = new Thread(() =>
                {
                    Thread.Sleep(300);
                    throw new InvalidOperationException("unhandled on a thread");
                }) { Name = "doomed" };
                t.Start();
                t.Join();
                return 1;
            default:
                return 2;
        }
    }
}

public static class Contained
{
    public static void Run(TimeSpan duration)
    {
        var watch = Stopwatch.StartNew();
        var worker = new Thread(() =>
        {
            long sum = 0;
            while (watch.Elapsed < duration) sum += Work();
            GC.KeepAlive(sum);
        }) { Name = "contained-0" };
        worker.Start();
        worker.Join();
    }

    [MethodImpl(MethodImplOptions.NoInlining)]
    static long Work()
    {
        try { throw new InvalidOperationException("contained"); }
        catch (InvalidOperationException) { return HotLoop.SpinPrimes(50000); }
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
            if (line == "work" || line == "spin")
            {
                if (line == "work") await Work();
                else HotLoop.Run(TimeSpan.FromSeconds(1.5));
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
