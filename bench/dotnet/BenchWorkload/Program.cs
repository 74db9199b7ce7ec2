// The workloads of the benchmarks (bench/run_*.sh), each a mode:
//   busy S T       after a line on stdin ("pid PID" first), T threads burn CPU
//                  in compiled code for S seconds; "done", then a line ends it:
//                  the live profiling cost's workload
//   stress S T     T threads emit events from deep, varied stacks for S seconds
//                  while they burn CPU: the source of the large decode trace
//   service S T [N]  T named threads handle requests for S seconds through
//                  deep, varied stacks that throw and catch, allocate and burn
//                  CPU: the source of the stack-heavy trace; the last N frames
//                  (6) of each stack are chosen at random
//   web S          a Kestrel server and a client requesting from it for S
//                  seconds: the source of the small recording
//   emit N         after a line on stdin, emit N events of Tarnwell-Bench
// The test suite runs every mode briefly (bench/check_workload.sh), so that
// none can vanish unnoticed.
using System.Diagnostics;
using System.Runtime.CompilerServices;
using Microsoft.AspNetCore.Builder;
using Microsoft.AspNetCore.Hosting;

public static class Program
{
    public static async Task<int> Main(string[] args)
    {
        var mode = args.Length > 0 ? args[0] : "";
        double Seconds(double fallback) => args.Length > 1 ? double.Parse(args[1]) : fallback;
        int Count(int at, int fallback) => args.Length > at ? int.Parse(args[at]) : fallback;
        switch (mode)
        {
            case "busy":
                Console.WriteLine($"pid {Environment.ProcessId}");
                Console.Out.Flush();
                Console.ReadLine();
                Busy(TimeSpan.FromSeconds(Seconds(10)), Count(2, 16));
                Console.WriteLine("done");
                Console.Out.Flush();
                Console.ReadLine();
                return 0;
            case "stress":
                Console.WriteLine($"events {Stress.Run(TimeSpan.FromSeconds(Seconds(10)), Count(2, 16))}");
                return 0;
            case "service":
                Console.WriteLine($"requests {Service.Run(TimeSpan.FromSeconds(Seconds(10)), Count(2, 3), Count(3, 6))}");
                return 0;
            case "web":
                Console.WriteLine($"requests {await Web(TimeSpan.FromSeconds(Seconds(2)))}");
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
            default:
                Console.Error.WriteLine($"unknown mode {mode}");
                return 2;
        }
    }

    static void Busy(TimeSpan duration, int threads)
    {
        var watch = Stopwatch.StartNew();
        var workers = Enumerable.Range(0, threads).Select(i => new Thread(() =>
        {
            long sum = 0;
            while (watch.Elapsed < duration) sum += HotLoop.SpinPrimes(3000);
            GC.KeepAlive(sum);
        }) { Name = $"busy-{i}" }).ToList();
        workers.ForEach(w => w.Start());
        workers.ForEach(w => w.Join());
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
}

public static class HotLoop
{
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
