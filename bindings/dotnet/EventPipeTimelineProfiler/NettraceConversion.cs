namespace EventPipeTimelineProfiler;

/// <summary>Converts a recorded trace into a timeline snapshot.</summary>
public static class NettraceConversion
{
    /// <summary>
    /// Converts <paramref name="nettracePath"/> (a .nettrace file, as dotnet-trace or the runtime write it)
    /// into the snapshot <paramref name="snapshotPath"/>: its index file and the numbered section files
    /// beside it. Blocks until the snapshot is written.
    /// </summary>
    /// <param name="nettracePath">The recording.</param>
    /// <param name="snapshotPath">The snapshot's index file.</param>
    /// <param name="progress">Told the percentage done, from 0 to 100.</param>
    /// <param name="cancellationToken">Cancels the conversion: nothing is written.</param>
    /// <exception cref="ProfilerException">The library's reason the conversion failed.</exception>
    /// <exception cref="OperationCanceledException">The conversion was cancelled; no file was left.</exception>
    public static void Convert(string nettracePath, string snapshotPath, IProgress<int>? progress = null,
        CancellationToken cancellationToken = default)
    {
        ArgumentNullException.ThrowIfNull(nettracePath);
        ArgumentNullException.ThrowIfNull(snapshotPath);
        cancellationToken.ThrowIfCancellationRequested();
        var last = -1;
        var cancelled = false;
        // Called on the library's thread; answering 0 cancels.
        Native.Progress report = (current, total, _) =>
        {
            if (cancellationToken.IsCancellationRequested)
            {
                cancelled = true;
                return 0;
            }
            var percent = total == 0 ? 0 : (int)Math.Min(100, (ulong)current * 100 / (ulong)total);
            if (percent != last)
            {
                last = percent;
                progress?.Report(percent);
            }
            return 1;
        };
        using (var conversion = ConversionHandle.Create(Path.GetFullPath(nettracePath), Path.GetFullPath(snapshotPath), report))
        {
            conversion.Dispose();
            GC.KeepAlive(report);
            if (conversion.ReleaseFailure is { } failure) throw failure;
        }
        if (cancelled) throw new OperationCanceledException(cancellationToken);
    }
}
