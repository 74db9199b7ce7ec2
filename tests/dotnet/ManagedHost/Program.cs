// A front end's view of the library: loads it through P/Invoke, passes
// UTF-16 strings, a progress delegate, and reads error records from their
// packed head. Converts a recording, then cancels one conversion half-way
// and another at the save decision.
//   ManagedHost LIBRARY RECORDING OUTPUT_DIRECTORY
// (Live profiling through the same exports is driven from C++ by the live
// collector tests, and their C signatures from C by exports_c_test.)
// Prints one line per check and "N passed, N failed" at the end.
using System.Runtime.InteropServices;

static class Native
{
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate int Progress(nuint current, nuint total, nuint finished);

    [DllImport("event_pipe_timeline_profiler", CharSet = CharSet.Unicode)]
    public static extern IntPtr EventPipeApiCreateNettraceCollector(string nettrace, string snapshot, string parameter,
                                                                     Progress progress, out IntPtr error);
    [DllImport("event_pipe_timeline_profiler")]
    public static extern void EventPipeApiReleaseNettraceCollector(IntPtr collector, out IntPtr error);
    [DllImport("event_pipe_timeline_profiler")]
    public static extern void ReleaseErrorInfo(IntPtr error);

    // The head is packed: int32 kind at 0, message pointer at 4.
    public static (int kind, string message) Read(IntPtr error) =>
        (Marshal.ReadInt32(error, 0), Marshal.PtrToStringUTF8(Marshal.ReadIntPtr(error, 4)) ?? "");
}

static class Program
{
    static int passed, failed;

    static void Check(bool ok, string what)
    {
        Console.WriteLine($"{(ok ? "ok  " : "FAIL")} {what}");
        if (ok) passed++; else failed++;
    }

    static List<(ulong, ulong, ulong)> Convert(string recording, string output, Func<int, ulong, ulong, ulong, int> answer,
                                             out string? error)
    {
        var calls = new List<(ulong, ulong, ulong)>();
        Native.Progress progress = (c, t, f) =>
        {
            calls.Add((c, t, f));
            return answer(calls.Count, c, t, f);
        };
        error = null;
        var holder = Native.EventPipeApiCreateNettraceCollector(recording, output, "", progress, out var e1);
        if (holder == IntPtr.Zero)
        {
            error = Native.Read(e1).message;
            Native.ReleaseErrorInfo(e1);
            return calls;
        }
        Native.EventPipeApiReleaseNettraceCollector(holder, out var e2);
        if (e2 != IntPtr.Zero)
        {
            error = Native.Read(e2).message;
            Native.ReleaseErrorInfo(e2);
        }
        GC.KeepAlive(progress);
        return calls;
    }

    static int Main(string[] args)
    {
        var library = args[0];
        NativeLibrary.SetDllImportResolver(typeof(Program).Assembly, (name, _, _) =>
            name == "event_pipe_timeline_profiler" ? NativeLibrary.Load(library) : IntPtr.Zero);
        var recording = args[1];
        var dir = args[2];
        Directory.CreateDirectory(dir);

        var saved = Path.Combine(dir, "saved.dtt");
        var calls = Convert(recording, saved, (_, _, _, _) => 1, out var error);
        Check(error == null, $"a recording converts ({error})");
        Check(File.Exists(saved) && File.Exists(saved + ".0000"), "the index and its section files exist");
        Check(calls.Count > 0 && calls[^1] == (100, 100, 1), "the last progress call is 100 of 100, finished");
        Check(calls.Contains((90, 100, 0)), "the save decision is asked at 90 of 100");
        Check(calls.Where(c => c.Item3 == 0).All(c => c.Item1 * 100 <= c.Item2 * 100), "progress never passes its total");

        var halfway = Path.Combine(dir, "halfway.dtt");
        calls = Convert(recording, halfway, (n, _, _, _) => n <= 2 ? 1 : 0, out error);
        Check(error == null, $"a conversion cancelled half-way ends without error ({error})");
        Check(!Directory.EnumerateFiles(dir, "halfway.dtt*").Any(), "and leaves no file");
        Check(calls[^1] == (100, 100, 1), "and still ends with 100 of 100, finished");

        var atSave = Path.Combine(dir, "atsave.dtt");
        calls = Convert(recording, atSave, (_, c, t, f) => c == 90 && t == 100 && f == 0 ? 0 : 1, out error);
        Check(error == null, $"a conversion refused at the save decision ends without error ({error})");
        Check(!Directory.EnumerateFiles(dir, "atsave.dtt*").Any(), "and leaves no file");
        Check(calls[^1] == (100, 100, 1), "and still ends with 100 of 100, finished");

        calls = Convert(Path.Combine(dir, "missing.nettrace"), Path.Combine(dir, "x.dtt"), (_, _, _, _) => 1, out error);
        Check(error != null && error.Contains("missing.nettrace"), $"a missing recording is an error record: {error}");

        Console.WriteLine($"{passed} passed, {failed} failed");
        return failed == 0 ? 0 : 1;
    }
}
