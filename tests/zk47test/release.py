"""Reading what the release files hold without Windows: the version resource of a program, the
sections of a PE file, Windows shortcuts (.lnk) and exported registry files."""

import struct

VERSION_KEYS = ("FileDescription", "FileVersion", "ProductName", "ProductVersion", "OriginalFilename")


def version_strings(exe_bytes):
    """The StringFileInfo values of a program's version resource, by key (an empty dict when it
    has none). Each String block is its key in UTF-16, padded to 4 bytes, then the value."""
    start = exe_bytes.find("VS_VERSION_INFO".encode("utf-16-le"))
    if start < 0:
        return {}
    out = {}
    for key in VERSION_KEYS:
        k = (key + "\0").encode("utf-16-le")
        at = exe_bytes.find(k, start)
        if at < 0:
            continue
        at += len(k)
        while exe_bytes[at:at + 2] == b"\0\0":
            at += 2
        end = at
        while exe_bytes[end:end + 2] != b"\0\0":
            end += 2
        out[key] = exe_bytes[at:end].decode("utf-16-le")
    return out


def section_names(exe_bytes):
    """Names of a PE file's sections; long names (a "/n" into the string table) resolved."""
    pe = struct.unpack_from("<I", exe_bytes, 0x3C)[0]
    if exe_bytes[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE file")
    nsec, _, symtab, nsym, optsize = struct.unpack_from("<HIIIH", exe_bytes, pe + 6)
    first = pe + 24 + optsize
    strings = symtab + nsym * 18
    names = []
    for i in range(nsec):
        raw = exe_bytes[first + 40 * i:first + 40 * i + 8].rstrip(b"\0")
        if raw.startswith(b"/") and symtab:
            off = strings + int(raw[1:])
            raw = exe_bytes[off:exe_bytes.index(b"\0", off)]
        names.append(raw.decode("latin-1"))
    return names


# --- shortcuts ------------------------------------------------------------------------------

HAS_ID_LIST, HAS_LINK_INFO, HAS_NAME, HAS_RELATIVE_PATH, HAS_WORKING_DIR, HAS_ARGUMENTS, \
    HAS_ICON, IS_UNICODE = (1 << n for n in range(8))


def read_shortcut(data):
    """A shell link's target path, arguments, start folder, description and icon."""
    if len(data) < 76 or struct.unpack_from("<I", data, 0)[0] != 0x4C:
        raise ValueError("not a shell link")
    flags = struct.unpack_from("<I", data, 20)[0]
    at = 76
    if flags & HAS_ID_LIST:
        at += 2 + struct.unpack_from("<H", data, at)[0]
    link = {"target": None}
    if flags & HAS_LINK_INFO:
        size, header, info_flags, _, base = struct.unpack_from("<IIIII", data, at)
        if info_flags & 1:  # a local volume and a local base path
            if header >= 0x24:
                ubase = struct.unpack_from("<I", data, at + 28)[0]
                end = at + ubase
                while data[end:end + 2] != b"\0\0":
                    end += 2
                link["target"] = data[at + ubase:end].decode("utf-16-le")
            else:
                end = data.index(b"\0", at + base)
                link["target"] = data[at + base:end].decode("cp1252")  # the ANSI code page
        at += size
    wide = bool(flags & IS_UNICODE)
    for flag, key in ((HAS_NAME, "description"), (HAS_RELATIVE_PATH, "relative"),
                      (HAS_WORKING_DIR, "start_in"), (HAS_ARGUMENTS, "arguments"), (HAS_ICON, "icon")):
        if flags & flag:
            n = struct.unpack_from("<H", data, at)[0]
            at += 2
            size = 2 * n if wide else n
            raw = data[at:at + size]
            # Wine counts the terminating NUL in; Windows does not.
            link[key] = raw.decode("utf-16-le" if wide else "cp1252").rstrip("\0")
            at += size
        else:
            link[key] = ""
    return link


# --- registry -------------------------------------------------------------------------------

def registry_values(reg_text, key):
    """The string and dword values of one key of a .reg export (the text already decoded)."""
    values, inside = {}, False
    for line in reg_text.splitlines():
        if line.startswith("["):
            inside = line.strip().strip("[]").lower() == key.lower()
            continue
        if inside and line.startswith('"') and "=" in line:
            name, value = line.split("=", 1)
            name = name.strip('"')
            if value.startswith('"'):
                values[name] = value[1:-1].replace('\\"', '"').replace("\\\\", "\\")
            elif value.startswith("dword:"):
                values[name] = int(value[6:], 16)
    return values
