// What the runtime itself says about the modules it loads: for each assembly
// of the shared framework given (or a default set), the loaded module's MVID
// and, from System.Reflection.Metadata's PEReader, the debug directory.
// One line per assembly, tab-separated:
//   path  mvid  debug-entry-count  codeview-guid  codeview-age  is-ready-to-run
using System.Reflection;
using System.Reflection.PortableExecutable;
using System.Runtime.InteropServices;

var names = args.Length > 0 ? args : new[] {
    "System.Private.CoreLib", "System.Runtime", "System.Collections", "System.Linq", "System.Console",
    "System.Text.RegularExpressions", "System.Net.Http", "System.Threading", "System.Memory",
    "System.Collections.Concurrent", "System.Reflection.Metadata", "System.Private.Uri", "System.Text.Json",
};
foreach (var name in names)
{
    var assembly = Assembly.Load(name);
    var path = assembly.Location;
    using var stream = File.OpenRead(path);
    using var pe = new PEReader(stream);
    var entries = pe.ReadDebugDirectory();
    var codeView = entries.FirstOrDefault(e => e.Type == DebugDirectoryEntryType.CodeView);
    string guid = "-", age = "-";
    if (codeView.Type == DebugDirectoryEntryType.CodeView)
    {
        var data = pe.ReadCodeViewDebugDirectoryData(codeView);
        guid = data.Guid.ToString();
        age = data.Age.ToString();
    }
    var readyToRun = pe.PEHeaders.CorHeader?.ManagedNativeHeaderDirectory.Size > 0;
    Console.WriteLine($"{path}\t{assembly.ManifestModule.ModuleVersionId}\t{entries.Length}\t{guid}\t{age}\t{readyToRun}");
}
