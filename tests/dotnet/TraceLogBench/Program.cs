// Baseline for the conversion benchmark: TraceEvent's TraceLog turns a
// recording into a stack-resolved file.
//   TraceLogBench FILE.nettrace OUTPUT.etlx
using Microsoft.Diagnostics.Tracing.Etlx;

if (args.Length < 2)
{
    Console.Error.WriteLine("usage: TraceLogBench FILE.nettrace OUTPUT.etlx");
    return 2;
}
var watch = System.Diagnostics.Stopwatch.StartNew();
var etlx = TraceLog.CreateFromEventPipeDataFile(args[0], args[1]);
using (var log = new TraceLog(etlx))
{
    Console.WriteLine($"tracelog events {log.EventCount} seconds {watch.Elapsed.TotalSeconds:F3}");
}
File.Delete(etlx);
return 0;
