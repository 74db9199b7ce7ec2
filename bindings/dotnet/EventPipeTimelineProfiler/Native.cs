using System.Runtime.InteropServices;

namespace EventPipeTimelineProfiler;

// The library's five exports. Its strings are UTF-16; a failure comes back as
// an error record whose packed head is {int32 kind; const char* message}.
internal static class Native
{
    private const string Library = "event_pipe_timeline_profiler";

    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    internal delegate int Progress(nuint current, nuint total, nuint finished);

    [DllImport(Library, CharSet = CharSet.Unicode)]
    internal static extern IntPtr EventPipeApiCreateNettraceCollector(string nettrace, string snapshot, string parameter,
        Progress progress, ref IntPtr error);

    [DllImport(Library)]
    internal static extern void EventPipeApiReleaseNettraceCollector(IntPtr collector, ref IntPtr error);

    [DllImport(Library, CharSet = CharSet.Unicode)]
    internal static extern IntPtr EventPipeApiCreateCollector(string bridgeEndpoint, uint pid, string processPath,
        string commandLine, string diagnosticPort, int withTasks, int testMode, ref IntPtr error);

    [DllImport(Library)]
    internal static extern void EventPipeApiReleaseCollector(IntPtr collector, ref IntPtr error);

    [DllImport(Library)]
    internal static extern void ReleaseErrorInfo(IntPtr error);

    // The record as an exception, the record released; null for none.
    internal static ProfilerException? TakeError(IntPtr error)
    {
        if (error == IntPtr.Zero) return null;
        try
        {
            var kind = (ProfilerErrorKind)Marshal.ReadInt32(error, 0);
            var text = Marshal.PtrToStringUTF8(Marshal.ReadIntPtr(error, 4)) ?? "";
            var newline = text.IndexOf('\n');
            return new ProfilerException(newline < 0 ? text : text[..newline], kind, text);
        }
        finally
        {
            ReleaseErrorInfo(error);
        }
    }
}

// What the library hands out, released once: by Dispose or, failing that,
// by the finalizer. The release's own failure is kept for the owner to read.
internal abstract class LibraryHandle : SafeHandle
{
    protected LibraryHandle() : base(IntPtr.Zero, true) { }

    public override bool IsInvalid => handle == IntPtr.Zero;

    internal ProfilerException? ReleaseFailure { get; private set; }

    protected abstract void Release(IntPtr raw, ref IntPtr error);

    protected override bool ReleaseHandle()
    {
        var error = IntPtr.Zero;
        Release(handle, ref error);
        ReleaseFailure = Native.TakeError(error);
        return true;
    }

    // `raw` held by `holder`, or the failure the creation reported.
    protected static T Hold<T>(T holder, IntPtr raw, IntPtr error, string what) where T : LibraryHandle
    {
        var failure = Native.TakeError(error);
        if (raw == IntPtr.Zero) throw failure ?? new ProfilerException($"The profiler gave no {what}", ProfilerErrorKind.Unknown);
        holder.SetHandle(raw);
        return holder;
    }
}

// A live collector.
internal sealed class CollectorHandle : LibraryHandle
{
    internal static CollectorHandle Create(string endpoint, uint pid, string diagnosticPort, bool withTasks)
    {
        var error = IntPtr.Zero;
        var raw = Native.EventPipeApiCreateCollector(endpoint, pid, "", "", diagnosticPort, withTasks ? 1 : 0, 0,
            ref error);
        return Hold(new CollectorHandle(), raw, error, "collector");
    }

    protected override void Release(IntPtr raw, ref IntPtr error) => Native.EventPipeApiReleaseCollector(raw, ref error);
}

// A conversion under way: its release waits for its end.
internal sealed class ConversionHandle : LibraryHandle
{
    internal static ConversionHandle Create(string nettrace, string snapshot, Native.Progress progress)
    {
        var error = IntPtr.Zero;
        var raw = Native.EventPipeApiCreateNettraceCollector(nettrace, snapshot, "", progress, ref error);
        return Hold(new ConversionHandle(), raw, error, "converter");
    }

    protected override void Release(IntPtr raw, ref IntPtr error) =>
        Native.EventPipeApiReleaseNettraceCollector(raw, ref error);
}
