using System.Buffers.Binary;
using System.Collections.Concurrent;
using System.Net;
using System.Net.Sockets;
using System.Text;

namespace EventPipeTimelineProfiler;

// The host's side of the profiler's bridge: a loopback listener the library
// connects to, frames of a code, a compressed length and parameters, the
// handshake, and the answers to its file requests. A reader thread answers
// file requests at once, reports alerts, triggers and progress, and queues
// every other answer for the command that waits for it.
internal sealed class Bridge : IDisposable
{
    // Commands (host to profiler) and answers (profiler to host).
    internal const byte Accepted = 0xD0, Go = 0xDF, Handle = 0xFD, CancelOperation = 0xFE,
        SnapshotStart = 0x10, StopDrop = 0x11, StopSave = 0x12;
    internal const byte Started = 0x90, Stopped = 0x91, RuntimeUpdated = 0xA2, CommandLineUpdated = 0xA4,
        Triggered = 0xA5, Initialize = 0xD0, InitializeDone = 0xD1, SnapshotDone = 0xEF, OperationStarted = 0xF0,
        OperationFinished = 0xF1, OperationProgress = 0xF2, HandleRequestSlave = 0xF7, HandleRequest = 0xF8,
        Alert = 0xFE;

    internal readonly record struct Frame(byte Code, byte[] Params);

    private readonly TcpListener _listener = new(IPAddress.Loopback, 0);
    private readonly BlockingCollection<Frame> _answers = new();
    private readonly object _files = new();
    private readonly List<string> _paths = new();
    private string? _index;
    private Socket? _socket;
    private Thread? _reader;

    internal Bridge()
    {
        _listener.Start(1);
    }

    internal string Endpoint => $"127.0.0.1:{((IPEndPoint)_listener.LocalEndpoint).Port}";

    internal event Action<int, string>? AlertReceived;           // severity, message
    internal event Action<string, uint>? TriggerReceived;        // what, ms into the recording
    internal event Action<uint, uint>? ProgressReceived;         // done, total
    internal event Action? Ended;

    // Waits for the library's connection until `deadline`, or until `givenUp`
    // says there is no point.
    internal bool Accept(TimeSpan timeout, Func<bool> givenUp)
    {
        var until = DateTime.UtcNow + timeout;
        while (DateTime.UtcNow < until)
        {
            if (_listener.Server.Poll(100_000, SelectMode.SelectRead))
            {
                _socket = _listener.AcceptSocket();
                _socket.NoDelay = true;
                return true;
            }
            if (givenUp()) return false;
        }
        return false;
    }

    // Accepts the profiler's initialize and reads its announcements up to
    // initialize_done; then the reader takes over.
    internal void Handshake(bool collectFromStart)
    {
        _socket!.ReceiveTimeout = 30_000;
        if (Read().Code != Initialize) throw Host("The profiler did not open with its handshake");
        var p = new Params().U8(0).Text("EventPipeTimelineProfiler").Counter(0).Text("")
            .Bool(collectFromStart).U32(1).Bool(false).U32(2);
        for (var i = 0; i < 6; i++) p.Bool(false);
        Send(Accepted, p.Text("").U32(0));
        for (var i = 0; ; i++)
        {
            if (i == 16) throw Host("The profiler did not end its handshake");
            if (Read().Code == InitializeDone) break;
        }
        _socket.ReceiveTimeout = 0;
        _reader = new Thread(ReadLoop) { IsBackground = true, Name = "profiler bridge" };
        _reader.Start();
    }

    // Where the next snapshot's files go: its index first, then INDEX.0000, ...
    internal void NameNextSnapshot(string index)
    {
        lock (_files)
        {
            _index = index;
            _paths.Clear();
        }
    }

    internal IReadOnlyList<string> SnapshotFiles
    {
        get { lock (_files) return _paths.ToArray(); }
    }

    internal void Send(byte code, Params? p = null)
    {
        var body = p?.ToArray() ?? Array.Empty<byte>();
        var frame = new List<byte>(body.Length + 5) { code };
        frame.AddRange(Params.CounterBytes((uint)body.Length));
        frame.AddRange(body);
        lock (_answers)
        {
            try
            {
                _socket!.Send(frame.ToArray());
            }
            catch (Exception e) when (e is SocketException or ObjectDisposedException)
            {
                throw Host("The profiler's connection has ended");
            }
        }
    }

    // The next answer other than a notification (alerts among them), within
    // `timeout`; null when none came. Throws once the connection has ended
    // and every answer was taken.
    internal Frame? Next(TimeSpan timeout)
    {
        if (_answers.TryTake(out var f, timeout)) return f;
        if (_answers.IsCompleted) throw Host("The profiler's connection has ended");
        return null;
    }

    internal static ProfilerException Host(string message) => new(message, ProfilerErrorKind.Host);

    private void ReadLoop()
    {
        try
        {
            for (; ; )
            {
                var f = Read();
                switch (f.Code)
                {
                    case HandleRequest:
                    case HandleRequestSlave:
                        AnswerFileRequest(BinaryPrimitives.ReadUInt32LittleEndian(f.Params));
                        break;
                    case RuntimeUpdated:
                    case CommandLineUpdated:
                        break;
                    case OperationProgress:
                        ProgressReceived?.Invoke(BinaryPrimitives.ReadUInt32LittleEndian(f.Params),
                            BinaryPrimitives.ReadUInt32LittleEndian(f.Params.AsSpan(4)));
                        break;
                    case Alert:
                    {
                        var at = 5;
                        var message = Params.ReadText(f.Params, ref at);
                        AlertReceived?.Invoke(f.Params[0], message);
                        _answers.Add(f);
                        break;
                    }
                    case Triggered:
                    {
                        var at = 0;
                        var what = Params.ReadText(f.Params, ref at);
                        TriggerReceived?.Invoke(what, BinaryPrimitives.ReadUInt32LittleEndian(f.Params.AsSpan(at)));
                        break;
                    }
                    default:
                        _answers.Add(f);
                        break;
                }
            }
        }
        catch (Exception)
        {
            // The connection's end (or a frame that cannot be read): nothing
            // more comes.
        }
        finally
        {
            _answers.CompleteAdding();
            Ended?.Invoke();
        }
    }

    private void AnswerFileRequest(uint id)
    {
        string path;
        lock (_files)
        {
            path = _index ?? throw Host("The profiler asked for a file before a snapshot was named");
            if (_paths.Count > 0) path += "." + (_paths.Count - 1).ToString("X4");
            _paths.Add(path);
        }
        Send(Handle, new Params().U32(id).U8(1).Text(path).Bytes(Guid.NewGuid().ToByteArray()));
    }

    private Frame Read()
    {
        var head = ReadExactly(2);
        var width = (head[1] & 0x80) == 0 ? 1 : (head[1] & 0xC0) == 0x80 ? 2 : (head[1] & 0xE0) == 0xC0 ? 4 : 0;
        if (width == 0) throw Host("The profiler sent a length that cannot be read");
        var counter = new byte[width];
        counter[0] = head[1];
        if (width > 1) ReadExactly(width - 1).CopyTo(counter, 1);
        var length = width switch
        {
            1 => counter[0],
            2 => ((counter[0] & 0x3F) << 8) | counter[1],
            _ => ((counter[0] & 0x1F) << 24) | (counter[1] << 16) | (counter[2] << 8) | counter[3],
        };
        return new Frame(head[0], ReadExactly(length));
    }

    private byte[] ReadExactly(int n)
    {
        var buffer = new byte[n];
        for (var got = 0; got < n;)
        {
            var r = _socket!.Receive(buffer, got, n - got, SocketFlags.None);
            if (r == 0) throw Host("The profiler's connection has ended");
            got += r;
        }
        return buffer;
    }

    public void Dispose()
    {
        _listener.Stop();
        try
        {
            _socket?.Shutdown(SocketShutdown.Both);
        }
        catch (SocketException)
        {
        }
        _socket?.Dispose();
        if (_reader != null && _reader != Thread.CurrentThread) _reader.Join();
        _answers.Dispose();
    }
}

// A frame's parameters as the bridge encodes them: little-endian numbers,
// ECMA-335 compressed counters (big-endian) and counted UTF-8 strings.
internal sealed class Params
{
    private readonly List<byte> _bytes = new();

    internal Params U8(byte v) { _bytes.Add(v); return this; }
    internal Params Bool(bool v) => U8(v ? (byte)1 : (byte)0);
    internal Params U32(uint v)
    {
        Span<byte> b = stackalloc byte[4];
        BinaryPrimitives.WriteUInt32LittleEndian(b, v);
        foreach (var x in b) _bytes.Add(x);
        return this;
    }
    internal Params Counter(uint v) { _bytes.AddRange(CounterBytes(v)); return this; }
    internal Params Text(string s)
    {
        var utf8 = Encoding.UTF8.GetBytes(s);
        return Counter((uint)utf8.Length).Bytes(utf8);
    }
    internal Params Bytes(byte[] b) { _bytes.AddRange(b); return this; }
    internal byte[] ToArray() => _bytes.ToArray();

    internal static byte[] CounterBytes(uint v) => v switch
    {
        < 0x80 => new[] { (byte)v },
        < 0x4000 => new[] { (byte)(0x80 | (v >> 8)), (byte)v },
        < 0x20000000 => new[] { (byte)(0xC0 | (v >> 24)), (byte)(v >> 16), (byte)(v >> 8), (byte)v },
        _ => throw new ArgumentOutOfRangeException(nameof(v), "Too large value"),
    };

    internal static string ReadText(byte[] b, ref int at)
    {
        uint length;
        if ((b[at] & 0x80) == 0) { length = b[at]; at += 1; }
        else if ((b[at] & 0xC0) == 0x80) { length = (uint)(((b[at] & 0x3F) << 8) | b[at + 1]); at += 2; }
        else { length = (uint)(((b[at] & 0x1F) << 24) | (b[at + 1] << 16) | (b[at + 2] << 8) | b[at + 3]); at += 4; }
        var text = Encoding.UTF8.GetString(b, at, (int)length);
        at += (int)length;
        return text;
    }
}
