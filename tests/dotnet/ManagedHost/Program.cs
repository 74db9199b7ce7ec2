// A .NET front end of the profiler through its managed binding, as a
// program that adds the package writes it:
//   ManagedHost [--library LIBRARY] EPTL WORKLOAD_DLL RECORDING OUTPUT_DIRECTORY [--convert-only]
// Converts a recording (with progress, cancelled, and failing), attaches to a
// live workload and saves a snapshot that holds its known exceptions (read
// back with eptl inspect --json), launches a workload from its first
// instruction, and checks the binding's answers to bad input. --library loads
// the library from a build folder (the package brings its own).
// Prints one line per check and "N passed, N failed" at the end.
using System.Diagnostics;
using System.Runtime.InteropServices;
using System.Text.Json;
using EventPipeTimelineProfiler;

var rest = args.ToList();
if (rest.Count > 1 && rest[0] == "--library")
{
    var library = rest[1];
    NativeLibrary.SetDllImportResolver(typeof(LiveProfiler).Assembly, (name, _, _) =>
        name == "event_pipe_timeline_profiler" ? NativeLibrary.Load(library) : IntPtr.Zero);
    rest.RemoveRange(0, 2);
}
var convertOnly = rest.Remove("--convert-only");
var (eptl, workload, recording, dir) = (rest[0], rest[1], rest[2], rest[3]);
Directory.CreateDirectory(dir);
int passed = 0, failed = 0;

void Check(bool ok, string what)
{
    Console.WriteLine($"{(ok ? "ok  " : "FAIL")} {what}");
    if (ok) passed++; else failed++;
}

// What the body throws, if anything.
Exception? Thrown(Action body)
{
    try { body(); return null; }
    catch (Exception e) { return e; }
}

string Eptl(string arguments)
{
    var run = Process.Start(new ProcessStartInfo(eptl, arguments) { RedirectStandardOutput = true })!;
    var said = run.StandardOutput.ReadToEnd();
    run.WaitForExit();
    return said;
}

JsonElement Inspect(string snapshot) => JsonDocument.Parse(Eptl($"inspect --json \"{snapshot}\"")).RootElement;

int Exceptions(JsonElement summary, string type) =>
    summary.GetProperty("exceptions").TryGetProperty(type, out var n) ? n.GetInt32() : 0;

// Conversion: progress to 100, cancellation that leaves nothing, failures.
var saved = Path.Combine(dir, "saved.dtt");
var percents = new List<int>();
var error = Thrown(() => NettraceConversion.Convert(recording, saved, new SyncProgress(percents.Add)));
Check(error == null, $"a recording converts ({error?.Message})");
Check(File.Exists(saved) && File.Exists(saved + ".0000"), "the index and its section files exist");
Check(percents.Count > 1 && percents[^1] == 100 && percents.SequenceEqual(percents.Order()), $"progress rises to 100 ({string.Join(' ', percents)})");

using (var cancel = new CancellationTokenSource())
{
    var halfway = Path.Combine(dir, "halfway.dtt");
    error = Thrown(() => NettraceConversion.Convert(recording, halfway, new SyncProgress(p => { if (p >= 10) cancel.Cancel(); }), cancel.Token));
    Check(error is OperationCanceledException, $"a cancelled conversion says so ({error?.GetType().Name})");
    Check(!Directory.EnumerateFiles(dir, "halfway.dtt*").Any(), "and leaves no file");
}

var missing = Path.Combine(dir, "missing.nettrace");
error = Thrown(() => NettraceConversion.Convert(missing, Path.Combine(dir, "x.dtt")));
Check(error is ProfilerException { Kind: ProfilerErrorKind.Standard } e1 && e1.Message.Contains(missing) && !e1.Message.Contains('\n'),
    $"a missing recording is the library's one-line reason: {error?.Message}");
error = Thrown(() => NettraceConversion.Convert(recording, Path.Combine(dir, "no", "such", "folder", "x.dtt")));
Check(error is ProfilerException, $"a snapshot in a missing folder is refused: {error?.Message}");

if (!convertOnly)
{
    // A live workload, attached to: one burst of its work is 5
    // InvalidOperationExceptions and 3 FormatExceptions.
    var target = Process.Start(new ProcessStartInfo("dotnet", $"\"{workload}\" target")
    { RedirectStandardInput = true, RedirectStandardOutput = true })!;
    try
    {
        var ready = target.StandardOutput.ReadLine() ?? "";
        Check(ready.StartsWith("ready "), $"the workload is ready ({ready})");
        var alerts = new List<string>();
        var attached = Path.Combine(dir, "attached.dtt");
        using (var profiler = LiveProfiler.Attach(target.Id))
        {
            profiler.Alert += (_, a) => { lock (alerts) alerts.Add(a.Message); };
            profiler.StartSnapshot(attached);
            target.StandardInput.WriteLine("work");
            Check(target.StandardOutput.ReadLine() == "done", "the workload did its work");
            var progress = new List<int>();
            var index = profiler.SaveSnapshot(new SyncProgress(progress.Add));
            Check(index == attached && progress.LastOrDefault() == 100, $"the snapshot is saved at {index}");
            var summary = Inspect(attached);
            Check(Exceptions(summary, "System.InvalidOperationException") == 5 && Exceptions(summary, "System.FormatException") == 3,
                $"it holds the workload's exceptions: {summary.GetProperty("exceptions")}");

            profiler.StartSnapshot(Path.Combine(dir, "dropped.dtt"));
            profiler.DropSnapshot();
            Check(!Directory.EnumerateFiles(dir, "dropped.dtt*").Any(), "a dropped snapshot leaves no file");
            error = Thrown(() => profiler.StartSnapshot(Path.Combine(dir, "no", "such", "x.dtt")));
            Check(error is ProfilerException, $"a snapshot in a missing folder is refused: {error?.Message}");
            profiler.Dispose();
            profiler.Dispose();
            Check(Thrown(() => profiler.StartSnapshot(attached)) is ObjectDisposedException, "a call after Dispose is refused");
        }
        target.StandardInput.WriteLine("exit");
        Check(target.WaitForExit(30_000), "the workload runs on after the profiler, to its own end");
    }
    finally
    {
        if (!target.HasExited) target.Kill();
    }

    // A program that is no .NET program.
    using (var sleeper = Process.Start("sleep", "30"))
    {
        var watch = Stopwatch.StartNew();
        error = Thrown(() => LiveProfiler.Attach(sleeper.Id).Dispose());
        Check(error is ProfilerException && watch.Elapsed < TimeSpan.FromSeconds(20), $"a process that is not .NET is refused: {error?.Message}");
        sleeper.Kill();
    }

    // Launched: profiled from its first instruction ("startup" spends its
    // first 300 ms in Startup.FirstWork, then exits with 42); its snapshot
    // is saved as it ends.
    var launched = Path.Combine(dir, "launched.dtt");
    var exited = new ManualResetEventSlim();
    using (var profiler = LiveProfiler.Launch("dotnet", $"\"{workload}\" startup 300", new LiveProfilerOptions { SnapshotPath = launched }))
    {
        profiler.Exited += (_, _) => exited.Set();
        Check(exited.Wait(TimeSpan.FromSeconds(60)), "the launched program's end is told");
        Check(profiler.ExitCode == 42, $"with its exit code ({profiler.ExitCode})");
    }
    // On the stacks of its samples: on a busy machine the runtime's own start
    // may outweigh it among the top methods.
    Check(Eptl($"export \"{launched}\" --format collapsed --wall -o -").Contains(";Startup.FirstWork;"),
        "its snapshot has its first method");

    // A flight recording: the trigger is told, and the window around it saved.
    var window = Path.Combine(dir, "window.dtt");
    var options = new LiveProfilerOptions { SnapshotPath = window, WindowSeconds = 10, AfterTrigger = TimeSpan.Zero };
    options.Triggers.Add("exception=System.TimeoutException");
    using (var profiler = LiveProfiler.Launch("dotnet", $"\"{workload}\" incident timeout 4", options))
    {
        var fired = new TaskCompletionSource<string>();
        profiler.Triggered += (_, t) => fired.TrySetResult(t.What);
        Check(fired.Task.Wait(TimeSpan.FromSeconds(60)) && fired.Task.Result == "exception System.TimeoutException",
            $"a flight recording's trigger is told ({(fired.Task.IsCompleted ? fired.Task.Result : "none")})");
        profiler.SaveSnapshot();
    }
    Check(Inspect(window).TryGetProperty("captured_on", out var capture) &&
          capture.GetProperty("what").GetString() == "exception System.TimeoutException", "and its window saved with it");
}

Console.WriteLine($"{passed} passed, {failed} failed");
return failed == 0 ? 0 : 1;

// Progress told on the reporting thread: Progress<T> posts to the pool, and
// the checks read the list as soon as the call returns.
sealed class SyncProgress(Action<int> report) : IProgress<int>
{
    public void Report(int value) => report(value);
}
