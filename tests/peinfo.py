"""Prints what Windows shows of an executable: its subsystem, the DLLs it
imports, its resources and its version strings (Debian's python3-pefile)."""
import sys

import pefile

pe = pefile.PE(sys.argv[1])
print("subsystem %d" % pe.OPTIONAL_HEADER.Subsystem)
for dll in sorted(entry.dll.decode().lower() for entry in pe.DIRECTORY_ENTRY_IMPORT):
    print("import " + dll)
for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
    for entry in kind.directory.entries:
        print("resource %d %s" % (kind.id, entry.name.string.decode() if entry.name else entry.id))
for info in pe.FileInfo[0]:
    if info.Key == b"StringFileInfo":
        for table in info.StringTable:
            for key, value in sorted(table.entries.items()):
                print("version %s=%s" % (key.decode(), value.decode()))
