using System.Buffers.Binary;
using System.Diagnostics;

namespace EventPipeTimelineProfiler;

/// <summary>How a live profiler records.</summary>
public sealed class LiveProfilerOptions
{
    /// <summary>Collects the task library's events (scheduling, waits, async operations). On by default.</summary>
    public bool WithTasks { get; set; } = true;

    /// <summary>
    /// For <see cref="LiveProfiler.Launch"/>: the snapshot that begins with the program's first instruction.
    /// By default the program's name with ".dtt", in the current directory.
    /// </summary>
    public string? SnapshotPath { get; set; }

    /// <summary>
    /// A flight recording: keeps only the last this many seconds on disk, and saves them when
    /// <see cref="LiveProfiler.SaveSnapshot"/> is called (after a trigger, say). Null: a plain snapshot.
    /// </summary>
    public int? WindowSeconds { get; set; }

    /// <summary>The flight recording's bound on disk, in megabytes.</summary>
    public int WindowMaxSizeMegabytes { get; set; } = 256;

    /// <summary>How long the flight recording goes on after a trigger fires.</summary>
    public TimeSpan AfterTrigger { get; set; } = TimeSpan.FromSeconds(5);

    /// <summary>
    /// What fires <see cref="LiveProfiler.Triggered"/> in a flight recording: "exception=TYPE",
    /// "gc-pause=MS", "request=MS", "contention=MS" or "cpu=PERCENT".
    /// </summary>
    public IList<string> Triggers { get; } = new List<string>();
}

/// <summary>What the profiler reported.</summary>
public sealed class ProfilerAlertEventArgs : EventArgs
{
    internal ProfilerAlertEventArgs(string message, bool isError)
    {
        Message = message;
        IsError = isError;
    }

    /// <summary>The text, as the profiler gave it.</summary>
    public string Message { get; }

    /// <summary>An error (the profiler could not do what it was asked), else a warning.</summary>
    public bool IsError { get; }
}

/// <summary>A flight recording's trigger that fired.</summary>
public sealed class ProfilerTriggeredEventArgs : EventArgs
{
    internal ProfilerTriggeredEventArgs(string what, TimeSpan intoRecording)
    {
        What = what;
        IntoRecording = intoRecording;
    }

    /// <summary>What fired: "exception System.TimeoutException", "gc pause of 312 ms", ...</summary>
    public string What { get; }

    /// <summary>How far into the recording it fired.</summary>
    public TimeSpan IntoRecording { get; }
}

/// <summary>
/// A .NET process profiled live by the library, with this object as the host of its bridge: it names every
/// file of a snapshot, starts, saves and drops snapshots, and hears the profiler's alerts.
/// </summary>
public sealed class LiveProfiler : IDisposable
{
    // The library answers a running runtime within its deadline, then
    // connects at once; a program started here may take longer to start
    // its runtime. A save answers with progress as it goes.
    private static readonly TimeSpan AttachDeadline = TimeSpan.FromSeconds(5), LaunchDeadline = TimeSpan.FromSeconds(30),
        AnswerDeadline = TimeSpan.FromSeconds(60);

    private readonly Bridge _bridge;
    private readonly CollectorHandle _collector;
    private readonly LiveProfilerOptions _options;
    private readonly Process? _program;
    private readonly string? _portFolder;
    private readonly object _commands = new();
    private IProgress<int>? _saving;
    private bool _running, _disposed;
    private int _ends, _programEnded;

    private LiveProfiler(Bridge bridge, CollectorHandle collector, LiveProfilerOptions options, int pid,
        Process? program, string? portFolder)
    {
        _bridge = bridge;
        _collector = collector;
        _options = options;
        ProcessId = pid;
        _program = program;
        _portFolder = portFolder;
        _bridge.AlertReceived += (severity, message) => Alert?.Invoke(this, new ProfilerAlertEventArgs(message, severity == 1));
        _bridge.TriggerReceived += (what, ms) =>
            Triggered?.Invoke(this, new ProfilerTriggeredEventArgs(what, TimeSpan.FromMilliseconds(ms)));
        _bridge.ProgressReceived += (done, total) => _saving?.Report(total == 0 ? 0 : (int)((ulong)done * 100 / total));
        // Told once the process has ended and the profiler has saved what it
        // ran (it closes the bridge then): for a program started here, both.
        _ends = _program != null ? 2 : 1;
        _bridge.Ended += OnEnded;
        if (_program != null)
        {
            _program.EnableRaisingEvents = true;
            _program.Exited += (_, _) => ProgramEnded();
            if (_program.HasExited) ProgramEnded();
        }
    }

    /// <summary>The profiler reported a warning or an error.</summary>
    public event EventHandler<ProfilerAlertEventArgs>? Alert;

    /// <summary>
    /// The profiled process ended and the profiler has saved the snapshot that was running, if any. For a process
    /// attached to, the end of the profiler's connection tells it; for one started by <see cref="Launch"/>, its exit
    /// as well.
    /// </summary>
    public event EventHandler? Exited;

    /// <summary>A flight recording's trigger fired: <see cref="SaveSnapshot"/> keeps the window around it.</summary>
    public event EventHandler<ProfilerTriggeredEventArgs>? Triggered;

    /// <summary>The profiled process.</summary>
    public int ProcessId { get; }

    /// <summary>For a program started by <see cref="Launch"/>: its exit code once it has ended.</summary>
    public int? ExitCode => _program is { HasExited: true } p ? p.ExitCode : null;

    /// <summary>Profiles the running .NET process <paramref name="pid"/>. No snapshot runs yet.</summary>
    /// <exception cref="ProfilerException">The process cannot be profiled, with the library's reason.</exception>
    public static LiveProfiler Attach(int pid, LiveProfilerOptions? options = null)
    {
        options ??= new LiveProfilerOptions();
        if (pid <= 0) throw new ArgumentOutOfRangeException(nameof(pid), pid, "not a process id");
        RequireDiagnosticSocket(pid);
        var bridge = new Bridge();
        CollectorHandle? collector = null;
        try
        {
            collector = CollectorHandle.Create(bridge.Endpoint, (uint)pid, "", options.WithTasks);
            if (!bridge.Accept(AttachDeadline, () => false)) throw Unconnected(collector, $"Process {pid}");
            var profiler = new LiveProfiler(bridge, collector, options, pid, null, null);
            bridge.Handshake(collectFromStart: false);
            profiler.Command(Bridge.Go, null, Bridge.Stopped, "starting");
            return profiler;
        }
        catch
        {
            collector?.Dispose();
            bridge.Dispose();
            throw;
        }
    }

    /// <summary>
    /// Starts <paramref name="fileName"/> with <paramref name="arguments"/> and profiles it from its first
    /// instruction: its runtime waits, suspended, until the snapshot (<see cref="LiveProfilerOptions.SnapshotPath"/>)
    /// runs. The program's output goes where this process's goes.
    /// </summary>
    /// <exception cref="ProfilerException">The program could not be started or profiled, with the reason.</exception>
    public static LiveProfiler Launch(string fileName, string arguments, LiveProfilerOptions? options = null)
    {
        ArgumentNullException.ThrowIfNull(fileName);
        options ??= new LiveProfilerOptions();
        var snapshot = Path.GetFullPath(options.SnapshotPath ?? ProgramName(fileName, arguments) + ".dtt");
        // A socket's path has room for 107 bytes: a short folder of its own.
        var folder = Directory.CreateTempSubdirectory("eptl-").FullName;
        if (folder.Length > 90) folder = Directory.CreateDirectory(Path.Combine("/tmp", "eptl-" + Guid.NewGuid().ToString("N")[..8])).FullName;
        var port = Path.Combine(folder, "port");
        var bridge = new Bridge();
        CollectorHandle? collector = null;
        Process? program = null;
        try
        {
            collector = CollectorHandle.Create(bridge.Endpoint, 0, port, options.WithTasks);
            var start = new ProcessStartInfo(fileName, arguments ?? "") { UseShellExecute = false };
            start.Environment["DOTNET_DiagnosticPorts"] = port;
            try
            {
                program = Process.Start(start) ?? throw Bridge.Host($"Cannot start {fileName}");
            }
            catch (System.ComponentModel.Win32Exception e)
            {
                throw Bridge.Host($"Cannot start {fileName}: {e.Message}");
            }
            var started = program;
            if (!bridge.Accept(LaunchDeadline, () => started.HasExited))
            {
                if (started.HasExited)
                    throw Bridge.Host($"{fileName} ended (exit code {started.ExitCode}) before its runtime connected: is it a .NET program?");
                throw Unconnected(collector, fileName);
            }
            var profiler = new LiveProfiler(bridge, collector, options, program.Id, program, folder);
            bridge.NameNextSnapshot(snapshot);
            bridge.Handshake(collectFromStart: true);
            profiler.Command(Bridge.Go, profiler.WindowSettings(), Bridge.Started, "starting");
            profiler._running = true;
            return profiler;
        }
        catch
        {
            collector?.Dispose();
            bridge.Dispose();
            Directory.Delete(folder, recursive: true);
            throw;
        }
    }

    /// <summary>Starts a snapshot whose index file is <paramref name="snapshotPath"/>; its sections go beside it.</summary>
    public void StartSnapshot(string snapshotPath)
    {
        ArgumentNullException.ThrowIfNull(snapshotPath);
        lock (_commands)
        {
            ObjectDisposedException.ThrowIf(_disposed, this);
            var full = Path.GetFullPath(snapshotPath);
            var folder = Path.GetDirectoryName(full)!;
            if (!Directory.Exists(folder))
                throw new ProfilerException($"Cannot create {full}: no folder {folder}", ProfilerErrorKind.Host);
            _bridge.NameNextSnapshot(full);
            Command(Bridge.SnapshotStart, WindowSettings(), Bridge.Started, "starting the snapshot");
            _running = true;
        }
    }

    /// <summary>Saves the running snapshot and returns the path of its index file.</summary>
    /// <param name="progress">Told the percentage saved, from 0 to 100.</param>
    public string SaveSnapshot(IProgress<int>? progress = null)
    {
        lock (_commands)
        {
            ObjectDisposedException.ThrowIf(_disposed, this);
            if (!_running) throw new InvalidOperationException("No snapshot is running");
            _saving = progress;
            try
            {
                Drain();
                _bridge.Send(Bridge.StopSave);
                var saved = false;
                for (; ; )
                {
                    var f = Expect(Bridge.Stopped, "saving", Bridge.SnapshotDone);
                    if (f.Code == Bridge.SnapshotDone) saved = true;
                    else break;
                }
                _running = false;
                if (!saved) throw new ProfilerException("The snapshot was not saved", ProfilerErrorKind.Host);
                progress?.Report(100);
                return _bridge.SnapshotFiles[0];
            }
            finally
            {
                _saving = null;
            }
        }
    }

    /// <summary>Drops the running snapshot: its files are removed.</summary>
    public void DropSnapshot()
    {
        lock (_commands)
        {
            ObjectDisposedException.ThrowIf(_disposed, this);
            Command(Bridge.StopDrop, null, Bridge.Stopped, "dropping the snapshot");
            _running = false;
        }
    }

    /// <summary>
    /// Stops profiling and releases the collector: a snapshot still running is dropped. A program started by
    /// <see cref="Launch"/> runs on. A second call does nothing.
    /// </summary>
    public void Dispose()
    {
        lock (_commands)
        {
            if (_disposed) return;
            _disposed = true;
        }
        // The release may still ask for files: the reader answers until the
        // connection closes.
        _collector.Dispose();
        _bridge.Dispose();
        if (_portFolder != null)
        {
            try
            {
                Directory.Delete(_portFolder, recursive: true);
            }
            catch (IOException)
            {
            }
        }
    }

    private void ProgramEnded()
    {
        if (Interlocked.Exchange(ref _programEnded, 1) == 0) OnEnded();
    }

    private void OnEnded()
    {
        if (Interlocked.Decrement(ref _ends) != 0) return;
        Exited?.Invoke(this, EventArgs.Empty);
    }

    private Params? WindowSettings()
    {
        if (_options.WindowSeconds is not { } seconds) return null;
        var p = new Params().U8(1).U32((uint)seconds).U32((uint)_options.WindowMaxSizeMegabytes)
            .U32((uint)_options.AfterTrigger.TotalMilliseconds).Counter((uint)_options.Triggers.Count);
        foreach (var t in _options.Triggers) p.Text(t);
        return p.Text("");
    }

    private void Command(byte command, Params? p, byte answer, string what)
    {
        Drain();
        _bridge.Send(command, p);
        Expect(answer, what);
    }

    // Answers left from before: a command hears only its own.
    private void Drain()
    {
        while (_bridge.Next(TimeSpan.Zero) is not null) { }
    }

    // The answer `wanted` (or `also`), passing over the steps of a save; an
    // error the profiler reports ends the wait with its message.
    private Bridge.Frame Expect(byte wanted, string what, byte also = 0)
    {
        var deadline = DateTime.UtcNow + AnswerDeadline;
        while (DateTime.UtcNow < deadline)
        {
            var f = _bridge.Next(TimeSpan.FromMilliseconds(200));
            if (f is not { } frame) continue;
            if (frame.Code == wanted || (also != 0 && frame.Code == also)) return frame;
            if (frame.Code == Bridge.Alert && frame.Params[0] == 1)
            {
                var at = 5;
                throw new ProfilerException(FirstLine(Params.ReadText(frame.Params, ref at)), ProfilerErrorKind.Alert);
            }
            // Progress and the operation's steps, warnings (told by Alert).
            deadline = DateTime.UtcNow + AnswerDeadline;
        }
        throw Bridge.Host($"The profiler did not answer while {what}");
    }

    // The library says why it never connected: a runtime that did not
    // answer, most often.
    private static ProfilerException Unconnected(CollectorHandle collector, string what)
    {
        collector.Dispose();
        return collector.ReleaseFailure ?? Bridge.Host($"{what} does not answer: it may be stopped (SIGSTOP) or hung");
    }

    // A process without a diagnostic socket never gets one we can reach:
    // better said at once than after the deadline. The runtime puts it in
    // its temporary directory, seen from here or inside its container.
    private static void RequireDiagnosticSocket(int pid)
    {
        if (!Directory.Exists($"/proc/{pid}")) throw Bridge.Host($"There is no process {pid}");
        var places = new[] { Path.GetTempPath(), $"/proc/{pid}/root/tmp" };
        foreach (var place in places)
        {
            try
            {
                if (Directory.EnumerateFiles(place, $"dotnet-diagnostic-{pid}-*-socket").Any()) return;
            }
            catch (Exception e) when (e is IOException or UnauthorizedAccessException)
            {
            }
        }
        throw Bridge.Host($"Process {pid} has no diagnostic socket in {string.Join(" or ", places)}: it is not a .NET " +
                          "process, or its runtime runs with diagnostics disabled (DOTNET_EnableDiagnostics=0), or it " +
                          "runs as another user");
    }

    private static string FirstLine(string text) => text.IndexOf('\n') is var n and >= 0 ? text[..n] : text;

    // "dotnet app.dll ..." is app; else the executable's name.
    private static string ProgramName(string fileName, string arguments)
    {
        if (Path.GetFileName(fileName) == "dotnet")
        {
            var first = (arguments ?? "").Split(' ', StringSplitOptions.RemoveEmptyEntries).FirstOrDefault(a => a != "exec");
            if (first != null && first.EndsWith(".dll", StringComparison.Ordinal)) return Path.GetFileNameWithoutExtension(first);
        }
        return Path.GetFileNameWithoutExtension(fileName);
    }
}
