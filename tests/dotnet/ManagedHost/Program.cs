// A front end's view of the library: loads it through P/Invoke, passes
// UTF-16 strings, a progress delegate, and reads error records from their
// packed head. Converts a recording, then cancels one conversion half-way
// and another at the save decision.
//   ManagedHost LIBRARY RECORDING OUTPUT_DIRECTORY
// Or profiles a running workload live, serving the bridge as a front end
// does: it listens, answers the handshake, starts a snapshot, saves it with
// the files it names, and releases the collector.
//   ManagedHost LIBRARY live WORKLOAD_DLL OUTPUT_DIRECTORY
// Prints one line per check and "N passed, N failed" at the end.
using System.Diagnostics;
using System.Net;
using System.Net.Sockets;
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
    [DllImport("event_pipe_timeline_profiler", CharSet = CharSet.Unicode)]
    public static extern IntPtr EventPipeApiCreateCollector(string endpoint, uint pid, string processPath,
                                                             string commandLine, string diagnosticPort, int withTasks,
                                                             int testMode, out IntPtr error);
    [DllImport("event_pipe_timeline_profiler")]
    public static extern void EventPipeApiReleaseCollector(IntPtr collector, out IntPtr error);
    [DllImport("event_pipe_timeline_profiler")]
    public static extern void ReleaseErrorInfo(IntPtr error);

    // The head is packed: int32 kind at 0, message pointer at 4.
    public static (int kind, string message) Read(IntPtr error) =>
        (Marshal.ReadInt32(error, 0), Marshal.PtrToStringUTF8(Marshal.ReadIntPtr(error, 4)) ?? "");
}

// The host's end of the bridge: frames of a code, the parameters' size as an
// ECMA-335 compressed integer, and the parameters.
sealed class Bridge : IDisposable
{
    public const byte SnapshotStart = 0x10, SnapshotStopSave = 0x12, Accepted = 0xD0, Go = 0xDF, Handle = 0xFD;
    public const byte Started = 0x90, Stopped = 0x91, RuntimeUpdated = 0xA2, CommandLineUpdated = 0xA4,
        SnapshotDone = 0xEF, OperationStarted = 0xF0, OperationFinished = 0xF1, OperationProgress = 0xF2,
        HandleRequest = 0xF8, Alert = 0xFE;

    readonly Socket socket;
    readonly string dir;
    public readonly List<string> Files = new();
    public readonly List<byte> Notifications = new();

    public Bridge(Socket socket, string dir) { this.socket = socket; this.dir = dir; }
    public void Dispose() => socket.Dispose();

    static void Counter(List<byte> b, uint n)
    {
        if (n < 0x80) b.Add((byte)n);
        else if (n < 0x4000) b.AddRange(new[] { (byte)(0x80 | (n >> 8)), (byte)n });
        else b.AddRange(new[] { (byte)(0xC0 | (n >> 24)), (byte)(n >> 16), (byte)(n >> 8), (byte)n });
    }
    static void Text(List<byte> b, string s)
    {
        var utf8 = System.Text.Encoding.UTF8.GetBytes(s);
        Counter(b, (uint)utf8.Length);
        b.AddRange(utf8);
    }

    public void Send(byte code, List<byte>? parameters = null)
    {
        var frame = new List<byte> { code };
        Counter(frame, (uint)(parameters?.Count ?? 0));
        if (parameters != null) frame.AddRange(parameters);
        socket.Send(frame.ToArray());
    }

    byte[] Exactly(int n)
    {
        var b = new byte[n];
        for (int at = 0; at < n;)
        {
            int got = socket.Receive(b, at, n - at, SocketFlags.None);
            if (got == 0) throw new EndOfStreamException("the profiler closed the bridge");
            at += got;
        }
        return b;
    }

    public (byte code, byte[] parameters) Read()
    {
        var head = Exactly(2);
        uint size = head[1];
        if ((size & 0x80) != 0)
        {
            var more = Exactly((size & 0xC0) == 0x80 ? 1 : 3);
            size = (size & 0xC0) == 0x80 ? ((size & 0x3F) << 8) | more[0]
                                         : ((size & 0x1F) << 24) | ((uint)more[0] << 16) | ((uint)more[1] << 8) | more[2];
        }
        return (head[0], Exactly((int)size));
    }

    // The next frame that is neither a file request (answered here) nor a
    // notification (kept).
    public (byte code, byte[] parameters) Next()
    {
        for (;;)
        {
            var (code, p) = Read();
            if (code == RuntimeUpdated || code == CommandLineUpdated) { Notifications.Add(code); continue; }
            if (code != HandleRequest) return (code, p);
            var path = Path.Combine(dir, Files.Count == 0 ? "live.dtt" : $"live.dtt.{Files.Count - 1:X4}");
            Files.Add(path);
            var answer = new List<byte>(p[..4]) { 1 };
            Text(answer, path);
            answer.AddRange(Guid.NewGuid().ToByteArray());
            Send(Handle, answer);
        }
    }

    // The host's acceptance: no variables to clean, no collection from the start.
    public void Accept()
    {
        var p = new List<byte> { 0 };
        Text(p, "managed host");
        Counter(p, 0);
        Text(p, "");
        p.Add(0);
        p.AddRange(BitConverter.GetBytes(1u));
        p.Add(0);
        p.AddRange(BitConverter.GetBytes(2u));
        for (int i = 0; i < 6; i++) p.Add(0);
        Text(p, "");
        p.AddRange(BitConverter.GetBytes(0u));
        Send(Accepted, p);
    }
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

    static string? TakeError(IntPtr error)
    {
        if (error == IntPtr.Zero) return null;
        var text = Native.Read(error).message;
        Native.ReleaseErrorInfo(error);
        return text;
    }

    static void Live(string workload, string dir)
    {
        Directory.CreateDirectory(dir);
        var start = new ProcessStartInfo("dotnet", $"\"{workload}\" target")
        {
            RedirectStandardInput = true, RedirectStandardOutput = true, UseShellExecute = false,
        };
        using var target = Process.Start(start)!;
        var ready = target.StandardOutput.ReadLine()!.Split(' ');
        var port = int.Parse(ready[1]);
        try
        {
            var listener = new TcpListener(IPAddress.Loopback, 0);
            listener.Start();
            var endpoint = $"127.0.0.1:{((IPEndPoint)listener.LocalEndpoint).Port}";
            var collector = Native.EventPipeApiCreateCollector(endpoint, (uint)target.Id, "", "", "", 1, 0, out var e1);
            Check(collector != IntPtr.Zero, $"a live collector is created ({TakeError(e1)})");
            if (collector == IntPtr.Zero) return;
            using var bridge = new Bridge(listener.AcceptSocket(), dir);
            listener.Stop();
            Check(bridge.Read().code == 0xD0, "the profiler introduces itself");
            bridge.Accept();
            var announced = new[] { bridge.Read().code, bridge.Read().code, bridge.Read().code };
            Check(announced.SequenceEqual(new byte[] { 0xFC, 0xA3, 0xD1 }), "it can detach, runs out of process, is initialised");
            bridge.Send(Bridge.Go);
            Check(bridge.Next().code == Bridge.Stopped, "go: no snapshot runs yet");
            bridge.Send(Bridge.SnapshotStart);
            Check(bridge.Next().code == Bridge.Started, "a snapshot starts");

            using (var client = new HttpClient())
                for (int i = 0; i < 3; i++) client.GetStringAsync($"http://127.0.0.1:{port}/managed/{i}").Wait();
            target.StandardInput.WriteLine("work");
            Check(target.StandardOutput.ReadLine() == "done", "the target works");

            bridge.Send(Bridge.SnapshotStopSave);
            Check(bridge.Next().code == Bridge.OperationStarted, "the save starts");
            var f = bridge.Next();
            while (f.code == Bridge.OperationProgress) f = bridge.Next();
            Check(f.code == Bridge.OperationFinished, "the save finishes");
            var done = bridge.Next();
            Check(done.code == Bridge.SnapshotDone, "the snapshot is done");
            // The session, then the index's identifier, then the count of the others.
            Check(done.parameters.Length > 36 + 16 && done.parameters[36 + 16] == bridge.Files.Count - 1,
                  $"snapshot_done names the {bridge.Files.Count - 1} section files");
            Check(bridge.Next().code == Bridge.Stopped, "the snapshot is stopped");
            Check(bridge.Files.Count > 10 && bridge.Files.All(File.Exists) && new FileInfo(bridge.Files[0]).Length > 0,
                  $"the {bridge.Files.Count} files the host named exist");
            Check(bridge.Notifications.Contains(Bridge.RuntimeUpdated), "the runtime's version was told");

            var release = Task.Run(() =>
            {
                Native.EventPipeApiReleaseCollector(collector, out var e2);
                return TakeError(e2);
            });
            try { for (;;) bridge.Next(); } catch (Exception) { /* the bridge closed */ }
            var error = release.Result;
            Check(error == null, $"the collector is released ({error})");
            Check(!target.HasExited, "the target runs on");
            target.StandardInput.WriteLine("exit");
            Check(target.WaitForExit(30000) && target.ExitCode == 0, "and exits normally");
        }
        finally
        {
            if (!target.HasExited) target.Kill();
        }
    }

    static int Main(string[] args)
    {
        var library = args[0];
        NativeLibrary.SetDllImportResolver(typeof(Program).Assembly, (name, _, _) =>
            name == "event_pipe_timeline_profiler" ? NativeLibrary.Load(library) : IntPtr.Zero);
        if (args[1] == "live")
        {
            Live(args[2], args[3]);
            Console.WriteLine($"{passed} passed, {failed} failed");
            return failed == 0 ? 0 : 1;
        }
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
