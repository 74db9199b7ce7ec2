// Baseline for the conversion and export benchmarks: TraceEvent's TraceLog
// turns a recording into a stack-resolved file; with a format, the CPU
// samples' thread-time stacks are then written as speedscope or Chromium
// JSON by TraceEvent's own writers.
//   TraceLogBench FILE.nettrace OUTPUT.etlx [speedscope|chrome OUTPUT.json]
using Microsoft.Diagnostics.Symbols;
using Microsoft.Diagnostics.Tracing;
using Microsoft.Diagnostics.Tracing.Etlx;
using Microsoft.Diagnostics.Tracing.Stacks;
using Microsoft.Diagnostics.Tracing.Stacks.Formats;

if (args.Length != 2 && args.Length != 4)
{
    Console.Error.WriteLine("usage: TraceLogBench FILE.nettrace OUTPUT.etlx [speedscope|chrome OUTPUT.json]");
    return 2;
}
var watch = System.Diagnostics.Stopwatch.StartNew();
var etlx = TraceLog.CreateFromEventPipeDataFile(args[0], args[1]);
using (var log = new TraceLog(etlx))
{
    Console.WriteLine($"tracelog events {log.EventCount} seconds {watch.Elapsed.TotalSeconds:F3}");
    if (args.Length == 4)
    {
        using var symbols = new SymbolReader(TextWriter.Null);
        var stacks = new MutableTraceEventStackSource(log);
        new SampleProfilerThreadTimeComputer(log, symbols).GenerateThreadTimeStacks(stacks);
        if (args[2] == "chrome") ChromiumStackSourceWriter.WriteStackViewAsJson(stacks, args[3], compress: false);
        else SpeedScopeStackSourceWriter.WriteStackViewAsJson(stacks, args[3]);
        Console.WriteLine($"{args[2]} written seconds {watch.Elapsed.TotalSeconds:F3}");
    }
}
File.Delete(etlx);
return 0;
