namespace EventPipeTimelineProfiler;

/// <summary>Where a failure was found.</summary>
public enum ProfilerErrorKind
{
    /// <summary>The library could not describe the failure.</summary>
    Unknown = 0,
    /// <summary>The library failed with a standard exception.</summary>
    Standard = 1,
    /// <summary>The library failed with a Boost exception.</summary>
    Boost = 2,
    /// <summary>The profiler reported the failure over its bridge, as an alert.</summary>
    Alert = 3,
    /// <summary>The binding found it: the profiler or the program did not answer, or the connection ended.</summary>
    Host = 4,
}

/// <summary>A failure of the profiler library, with its one-line reason.</summary>
public sealed class ProfilerException : Exception
{
    /// <summary>Creates the exception.</summary>
    public ProfilerException(string message, ProfilerErrorKind kind, string? details = null) : base(message)
    {
        Kind = kind;
        Details = details ?? message;
    }

    /// <summary>Where the failure was found.</summary>
    public ProfilerErrorKind Kind { get; }

    /// <summary>The library's whole text, where it says more than the first line.</summary>
    public string Details { get; }
}
