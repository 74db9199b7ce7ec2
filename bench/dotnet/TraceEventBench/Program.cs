// Baseline for the decoding benchmark: TraceEvent's EventPipeEventSource
// reads a recording with a handler on every event. Prints one line:
//   traceevent events N bytes B seconds S
using System.Diagnostics;
using Microsoft.Diagnostics.Tracing;

if (args.Length < 1)
{
    Console.Error.WriteLine("usage: TraceEventBench FILE.nettrace [repeats]");
    return 2;
}
var file = args[0];
var repeats = args.Length > 1 ? int.Parse(args[1]) : 3;
double best = double.MaxValue;
long events = 0, touched = 0;
for (int r = 0; r < repeats; r++)
{
    var watch = Stopwatch.StartNew();
    long count = 0, sum = 0;
    using (var source = new EventPipeEventSource(file))
    {
        // Touch what our handler touches: the id, the thread, the time and
        // the payload.
        source.AllEvents += e =>
        {
            count++;
            sum += e.EventDataLength + (int)e.ID + e.ThreadID + (long)e.TimeStampQPC;
        };
        source.Process();
    }
    watch.Stop();
    best = Math.Min(best, watch.Elapsed.TotalSeconds);
    events = count;
    touched = sum;
}
Console.WriteLine($"traceevent events {events} bytes {new FileInfo(file).Length} seconds {best:F6} checksum {touched}");
return 0;
