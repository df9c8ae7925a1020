#!/usr/bin/env python3
"""Checks that each binding declares the library as include/norvat.h does: the exports by their
exact names, cdecl, 8-bit (ANSI) texts, the argument and result types (handles, listings and
what the library hands out as pointers of the right kind), the buffer sizes, and the portable
codes, fields and state bits. Bindings that cannot run on this machine (32-bit Windows, Delphi)
are held to the header this way. Also checks every copy of the version in the packages'
metadata against interface/version.h, its one home.

usage: check_bindings.py [ROOT]      ROOT is the source tree (default: this file's parent's parent)
Exit status 0 when every binding agrees, 1 with one line per disagreement otherwise.
"""
import ast
import os
import re
import sys

# What a parameter or result of the header is to a binding: an int, a text the library reads
# (const char *), or a buffer the library writes (char *); and for the handle functions the
# bytes it reads (const void *) or writes (void *), a port handle, a listing, a handle or a
# listing it hands out (** ), a number it sets (unsigned *), or no result.
INT, TEXT, BUFFER = "int", "text", "buffer"
BYTES, BYTES_OUT, PORT, PORT_OUT, LIST, LIST_OUT, UNSIGNED_OUT, VOID = (
    "bytes", "bytes out", "port", "port out", "list", "list out", "unsigned out", "void")
C_KINDS = {"int": INT, "const char *": TEXT, "char *": BUFFER, "const void *": BYTES,
           "void *": BYTES_OUT, "norvat_port *": PORT, "norvat_port **": PORT_OUT,
           "norvat_port_list *": LIST, "const norvat_port_list *": LIST,
           "norvat_port_list **": LIST_OUT, "unsigned *": UNSIGNED_OUT, "void": VOID}


class Header:
    def __init__(self, functions, sizes, codes, cdecl, results=None, constants=None):
        self.functions = functions  # name -> [kind, ...]
        self.sizes = sizes          # "LISTING" / "VERSION" -> bytes
        self.codes = codes          # "INVALID_ARGUMENT" ... -> (windows, linux)
        self.cdecl = cdecl
        self.results = results or {}      # name -> INT, TEXT or VOID
        self.constants = constants or {}  # "ERR_ARGUMENT", "STATE_PAPER_OUT", ... -> value


def strip_c_comments(text):
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    return re.sub(r"//[^\n]*", " ", text)


def parse_header(text):
    problems = []
    text = strip_c_comments(text)
    functions, results = {}, {}
    for m in re.finditer(r"NORVAT_API\s+([\w\s*]+?)\s*NORVAT_CALL\s+(\w+)\s*\(([^)]*)\)\s*;", text):
        name, kinds = m.group(2), []
        results[name] = C_KINDS.get(c_type(m.group(1)))
        if results[name] not in (INT, TEXT, VOID):
            problems.append("header: %s: unknown result %r" % (name, m.group(1)))
        params = m.group(3).strip()
        if params != "void":
            for param in params.split(","):
                kind = C_KINDS.get(c_type(re.sub(r"\w+\s*$", "", param)))  # the name left out
                if kind in (None, VOID):
                    problems.append("header: %s: unknown parameter %r" % (name, param))
                kinds.append(kind)
        functions[name] = kinds
    # The portable codes, fields, state bits and timeout; NOT_READY is an | of state bits.
    constants = {}
    for m in re.finditer(r"#define\s+NORVAT_((?:ERR|FIELD|STATE|TIMEOUT)_\w+)\s+(.+?)\s*(?:\n|$)",
                         text.replace("\\\n", " ")):
        value = m.group(2).strip().strip("()")
        try:
            constants[m.group(1)] = int(value, 0)
        except ValueError:
            constants[m.group(1)] = 0
            for part in re.findall(r"NORVAT_(STATE_\w+)", value):
                constants[m.group(1)] |= constants.get(part, 0)
    sizes = {m.group(1): int(m.group(2)) for m in
             re.finditer(r"#define\s+NORVAT_(LISTING|VERSION)_BUFFER_SIZE\s+(\d+)", text)}
    # The reason codes come twice: the Windows values under #ifdef _WIN32, then errno values.
    codes = {}
    win = re.search(r"#ifdef\s+_WIN32(.*?)#else(.*?)#endif", text[text.find("NORVAT_E_") - 200:],
                    flags=re.S)
    if win:
        w = dict(re.findall(r"#define\s+NORVAT_E_(\w+)\s+(\d+)", win.group(1)))
        lx = dict(re.findall(r"#define\s+NORVAT_E_(\w+)\s+(\d+)", win.group(2)))
        codes = {k: (int(w[k]), int(lx[k])) for k in w if k in lx}
    cdecl = re.search(r"#ifdef\s+_WIN32\s*\n\s*#define\s+NORVAT_CALL\s+__cdecl", text) is not None
    if len(functions) < 10 or set(sizes) != {"LISTING", "VERSION"} or len(codes) != 5 or \
            "STATE_NOT_READY" not in constants:
        problems.append("header: expected the 10 exports and the handle functions, 2 buffer "
                        "sizes, 5 reason codes and the state bits, found %d, %d, %d, %d"
                        % (len(functions), len(sizes), len(codes), len(constants)))
    if not cdecl:
        problems.append("header: NORVAT_CALL is not __cdecl on Windows")
    return Header(functions, sizes, codes, cdecl, results, constants), problems


def c_type(text):
    """A C type as C_KINDS spells it: "const norvat_port_list *", "norvat_port **"."""
    return re.sub(r"\*\s+\*", "**", " ".join(text.replace("*", " * ").split()))


def snake(name):
    return re.sub(r"(?<=[a-z])(?=[A-Z])", "_", name).upper()


def split_top(text, sep=","):
    """Splits at sep outside (), [] and <>."""
    parts, depth, start = [], 0, 0
    for i, c in enumerate(text):
        if c in "([<":
            depth += 1
        elif c in ")]>":
            depth -= 1
        elif c == sep and depth == 0:
            parts.append(text[start:i])
            start = i + 1
    parts.append(text[start:])
    return [p.strip() for p in parts if p.strip()]


def closing(text, start):
    """Index of the parenthesis closing the one at start."""
    depth = 0
    for i in range(start, len(text)):
        if text[i] == "(":
            depth += 1
        elif text[i] == ")":
            depth -= 1
            if depth == 0:
                return i
    return -1


def allocation(code, variable, before, pattern):
    """The size expression of the last allocation of variable ahead of position before."""
    found = None
    for m in re.finditer(r"\b%s\s*=\s*%s" % (variable, pattern), code[:before]):
        found = m.group(1)
    return found


def common_checks(lang, header, declared, problems):
    """declared: name -> list of declarations found; each must be there exactly once."""
    for name in header.functions:
        count = len(declared.get(name, []))
        if count == 0:
            problems.append("%s: %s is not declared" % (lang, name))
        elif count > 1:
            problems.append("%s: %s is declared %d times" % (lang, name, count))
    for name in declared:
        if name not in header.functions:
            problems.append("%s: %s is not an export of norvat.h" % (lang, name))


# ---- C# ---------------------------------------------------------------------------------------

CS_TYPES = {
    INT: {"int", "Int32", "System.Int32"},
    TEXT: {"string", "byte[]"},
    BUFFER: {"byte[]", "StringBuilder", "System.Text.StringBuilder", "IntPtr"},
    BYTES: {"byte[]", "IntPtr"},
    BYTES_OUT: {"byte[]", "IntPtr"},
    PORT: {"NorvatPortHandle", "IntPtr"},
    PORT_OUT: {"out NorvatPortHandle", "out IntPtr"},
    LIST: {"IntPtr"},
    LIST_OUT: {"out IntPtr"},
    UNSIGNED_OUT: {"out uint", "out UInt32", "ref uint", "ref UInt32"},
}
# A text the library returns is its own (static, or the listing's): as a string the marshaller
# would free it.
CS_RESULTS = {INT: {"int", "Int32", "System.Int32"}, TEXT: {"IntPtr"}, VOID: {"void"}}


def cs_enum(code, name):
    """The members of C# enum name as {SNAKE_NAME: value}; a member may | earlier ones."""
    m = re.search(r"\benum\s+%s\b[^{]*\{([^}]*)\}" % name, code)
    members = {}
    for member in split_top(m.group(1)) if m else []:
        key, _, value = member.partition("=")
        key, value = key.strip(), value.strip()
        try:
            members[key] = int(value, 0) if value else max(members.values(), default=-1) + 1
        except ValueError:
            members[key] = 0
            for part in value.split("|"):
                members[key] |= members.get(part.strip().split(".")[-1], 1 << 31)
    return {snake(k): v for k, v in members.items()}


def check_constants(lang, header, found, problems):
    """found: "ERR_ARGUMENT", "STATE_NOT_READY", ... -> the binding's value."""
    for name, value in sorted(header.constants.items()):
        if name not in found:
            problems.append("%s: NORVAT_%s missing" % (lang, name))
        elif found[name] != value:
            problems.append("%s: NORVAT_%s is %s, norvat.h says %s" % (lang, name, found[name], value))


def check_csharp(header, text):
    lang = "C#"
    problems = []
    code = strip_c_comments(text)
    consts = dict(re.findall(r"const\s+string\s+(\w+)\s*=\s*\"([^\"]*)\"", code))
    declared = {}
    for m in re.finditer(r"\[\s*DllImport\s*\(", code):
        end = closing(code, m.end() - 1)
        args = split_top(code[m.end():end])
        library = args[0] if args else ""
        library = consts.get(library.split(".")[-1], library.strip('"'))
        if library not in ("Norvat", "Norvat.dll", "libNorvat.so"):
            continue  # not one of ours (libc's strerror, say)
        named = {}
        for arg in args[1:]:
            key, _, value = arg.partition("=")
            named[key.strip()] = value.strip()
        semicolon = code.find(";", end)
        decl = code[end:semicolon]
        d = re.search(r"extern\s+([\w.\[\]]+)\s+(\w+)\s*\(", decl)
        if not d:
            problems.append("%s: a DllImport without an extern method" % lang)
            continue
        result, method = d.group(1), d.group(2)
        entry = named.get("EntryPoint", '"%s"' % method).strip('"')
        declared.setdefault(entry, []).append(method)
        where = "%s: %s" % (lang, entry)
        if named.get("CallingConvention") != "CallingConvention.Cdecl":
            problems.append("%s: CallingConvention is %s, not CallingConvention.Cdecl"
                            % (where, named.get("CallingConvention", "the default (StdCall)")))
        if named.get("CharSet") != "CharSet.Ansi":
            problems.append("%s: CharSet is %s, not CharSet.Ansi"
                            % (where, named.get("CharSet", "not given")))
        if named.get("SetLastError") != "true":
            problems.append("%s: SetLastError is not true: the reason would be lost" % where)
        want = CS_RESULTS[header.results.get(entry, INT)]
        if result not in want:
            problems.append("%s: returns %s, not %s" % (where, result, "/".join(sorted(want))))
        if entry not in header.functions:
            continue
        popen = decl.find("(", d.start(2))
        params = split_top(decl[popen + 1:closing(decl, popen)])
        kinds = header.functions[entry]
        if len(params) != len(kinds):
            problems.append("%s: %d arguments, norvat.h has %d" % (where, len(params), len(kinds)))
            continue
        for i, (param, kind) in enumerate(zip(params, kinds), 1):
            lead = re.match(r"\s*((?:\[[^\]]*\]\s*)*)", param)
            attrs = lead.group(1)
            ptype = " ".join(param[lead.end():].split()[:-1])
            if ptype not in CS_TYPES[kind]:
                problems.append("%s: argument %d is %s, norvat.h has %s (%s)"
                                % (where, i, ptype, kind, "/".join(sorted(CS_TYPES[kind]))))
            m2 = re.search(r"UnmanagedType\.(\w+)", attrs)
            if m2 and m2.group(1) not in ("LPStr", "LPArray"):
                problems.append("%s: argument %d is marshalled as %s, not an 8-bit text"
                                % (where, i, m2.group(1)))
            if kind in (BUFFER, BYTES_OUT) and re.search(r"\bIn\b", attrs) and \
                    not re.search(r"\bOut\b", attrs):
                problems.append("%s: argument %d is a buffer the library fills but is [In] only"
                                % (where, i))
    common_checks(lang, header, declared, problems)

    for which, name in (("LISTING", "ListingBufferSize"), ("VERSION", "VersionBufferSize")):
        m = re.search(r"const\s+int\s+%s\s*=\s*(\d+)\s*;" % name, code)
        if not m or int(m.group(1)) != header.sizes.get(which):
            problems.append("%s: %s is %s, norvat.h says %s" % (lang, name, m and m.group(1),
                                                                 header.sizes.get(which)))
    # Buffers handed to the library are allocated from those constants (or bigger).
    for call, need in (("FindFirstUSB", "ListingBufferSize"), ("FindNextUSB", "ListingBufferSize"),
                       ("GetDllVersion", "VersionBufferSize")):
        for m in re.finditer(r"NorvatNative\.%s\s*\(\s*(\w+)\s*\)" % call, code):
            size = allocation(code, m.group(1), m.start(), r"new\s+byte\s*\[([^\]]+)\]")
            if size is None or size.strip().split(".")[-1] != need:
                problems.append("%s: the buffer for %s is new byte[%s], not %s"
                                % (lang, call, size, need))
    for m in re.finditer(r"NorvatNative\.RcvBuf\s*\(\s*(\w+)\s*,\s*(\w+)\s*\)", code):
        size = allocation(code, m.group(1), m.start(), r"new\s+byte\s*\[([^\]]+)\]")
        if size is None or "".join(size.split()) != m.group(2) + "+1":
            problems.append("%s: the buffer for RcvBuf is new byte[%s]; it must hold count + 1"
                            % (lang, size))
    # The portable codes, fields, state bits and timeout, each as the header has it.
    found = {}
    for prefix, enum in (("ERR_", "NorvatErrorCode"), ("FIELD_", "NorvatField"),
                         ("STATE_", "NorvatState")):
        found.update({prefix + k: v for k, v in cs_enum(code, enum).items()})
    m = re.search(r"const\s+int\s+TimeoutDefault\s*=\s*(-?\d+)\s*;", code)
    if m:
        found["TIMEOUT_DEFAULT"] = int(m.group(1))
    check_constants(lang, header, found, problems)
    return problems


# ---- Python -------------------------------------------------------------------------------------

PY_TYPES = {
    INT: {"c_int", "ctypes.c_int", "c_int32", "ctypes.c_int32"},
    TEXT: {"c_char_p", "ctypes.c_char_p"},
    BUFFER: {"POINTER(c_char)", "ctypes.POINTER(ctypes.c_char)", "c_char_p", "ctypes.c_char_p",
             "c_void_p", "ctypes.c_void_p"},
    PORT: {"c_void_p", "ctypes.c_void_p"},
    LIST: {"c_void_p", "ctypes.c_void_p"},
    PORT_OUT: {"POINTER(c_void_p)", "ctypes.POINTER(ctypes.c_void_p)"},
    LIST_OUT: {"POINTER(c_void_p)", "ctypes.POINTER(ctypes.c_void_p)"},
    BYTES: {"c_char_p", "ctypes.c_char_p", "c_void_p", "ctypes.c_void_p"},
    BYTES_OUT: {"POINTER(c_char)", "ctypes.POINTER(ctypes.c_char)", "c_void_p", "ctypes.c_void_p"},
    UNSIGNED_OUT: {"POINTER(c_uint)", "ctypes.POINTER(ctypes.c_uint)", "POINTER(c_uint32)",
                   "ctypes.POINTER(ctypes.c_uint32)"},
    VOID: {"None"},
}
STDCALL_LOADERS = {"WinDLL", "windll", "OleDLL", "oledll", "WINFUNCTYPE"}


def check_python(header, native_text, package_text):
    lang = "Python"
    problems = []
    tree = ast.parse(native_text)
    assigned = {}
    for node in ast.walk(tree):
        if isinstance(node, ast.Assign) and len(node.targets) == 1 and \
                isinstance(node.targets[0], ast.Name):
            assigned[node.targets[0].id] = node.value
    declared = {}
    protos = assigned.get("PROTOTYPES")
    if not isinstance(protos, ast.Dict):
        problems.append("%s: no PROTOTYPES table" % lang)
    else:
        for key, value in zip(protos.keys, protos.values):
            name = ast.literal_eval(key)
            declared.setdefault(name, []).append(value)
            where = "%s: %s" % (lang, name)
            if not (isinstance(value, ast.Tuple) and len(value.elts) == 2
                    and isinstance(value.elts[1], ast.List)):
                problems.append("%s: not (result, [argument types])" % where)
                continue
            result, returns = ast.unparse(value.elts[0]), header.results.get(name, INT)
            if result not in PY_TYPES[returns]:
                problems.append("%s: result is %s, norvat.h has %s" % (where, result, returns))
            if name not in header.functions:
                continue
            args = [ast.unparse(a) for a in value.elts[1].elts]
            kinds = header.functions[name]
            if len(args) != len(kinds):
                problems.append("%s: %d arguments, norvat.h has %d" % (where, len(args), len(kinds)))
                continue
            for i, (arg, kind) in enumerate(zip(args, kinds), 1):
                if arg not in PY_TYPES[kind]:
                    problems.append("%s: argument %d is %s, norvat.h has %s" % (where, i, arg, kind))
    common_checks(lang, header, declared, problems)

    loaders = {"use_errno": False, "use_last_error": False}
    for source in (native_text, package_text):
        for node in ast.walk(ast.parse(source)):
            if isinstance(node, (ast.Name, ast.Attribute)):
                ident = node.id if isinstance(node, ast.Name) else node.attr
                if ident in STDCALL_LOADERS:
                    problems.append("%s: uses %s, which calls stdcall; the exports are cdecl"
                                    % (lang, ident))
            if isinstance(node, ast.Call) and ast.unparse(node.func) in ("CDLL", "ctypes.CDLL"):
                for kw in node.keywords:
                    if kw.arg in loaders and ast.unparse(kw.value) == "True":
                        loaders[kw.arg] = True
    for flag, platform in (("use_errno", "Linux's errno"), ("use_last_error", "GetLastError")):
        if not loaders[flag]:
            problems.append("%s: no CDLL(..., %s=True): %s would be lost" % (lang, flag, platform))

    for which, name in (("LISTING", "LISTING_BUFFER_SIZE"), ("VERSION", "VERSION_BUFFER_SIZE")):
        value = assigned.get(name)
        value = value.value if isinstance(value, ast.Constant) else None
        if value != header.sizes.get(which):
            problems.append("%s: %s is %s, norvat.h says %s"
                            % (lang, name, value, header.sizes.get(which)))
    for fn, size in (("listing_buffer", "LISTING_BUFFER_SIZE"),
                     ("version_buffer", "VERSION_BUFFER_SIZE")):
        if not re.search(r"def %s\(\):\s*return ctypes\.create_string_buffer\(%s\)" % (fn, size),
                         native_text):
            problems.append("%s: %s() does not allocate %s bytes" % (lang, fn, size))
    for source in (native_text, package_text):
        for m in re.finditer(r"\.RcvBuf\(\s*(\w+)\s*,\s*(\w+)\s*\)", source):
            size = allocation(source, m.group(1), m.start(),
                              r"ctypes\.create_string_buffer\(([^)]*)\)")
            if size is None or "".join(size.split()) != m.group(2) + "+1":
                problems.append("%s: the buffer for RcvBuf is create_string_buffer(%s); it must "
                                "hold count + 1" % (lang, size))
        for m in re.finditer(r"\.norvat_read\(\s*\w+\s*,\s*(\w+)\s*,\s*(\w+)", source):
            size = allocation(source, m.group(1), m.start(),
                              r"ctypes\.create_string_buffer\(([^)]*)\)")
            if size is None or size.strip() != m.group(2):
                problems.append("%s: the buffer for norvat_read is create_string_buffer(%s), not "
                                "the %s bytes it is given" % (lang, size, m.group(2)))

    # The portable codes, fields, state bits and timeout: ERR_* and TIMEOUT_DEFAULT, FIELDS and
    # STATES by the header's names in lower case, NOT_READY the names of its bits.
    def literal(name, empty):
        try:
            return ast.literal_eval(assigned[name])
        except (KeyError, ValueError):
            return empty
    found = {name: literal(name, None) for name in assigned
             if name.startswith("ERR_") or name == "TIMEOUT_DEFAULT"}
    found.update({"FIELD_" + name.upper(): number
                  for number, name in enumerate(literal("FIELDS", ()))})
    states = literal("STATES", {})
    found.update({"STATE_" + name.upper(): bit for name, bit in states.items()})
    found["STATE_NOT_READY"] = 0
    for name in literal("NOT_READY", ()):
        found["STATE_NOT_READY"] |= states.get(name, 1 << 31)
    check_constants(lang, header, found, problems)
    return problems


# ---- Delphi / Free Pascal -------------------------------------------------------------------

PAS_TYPES = {
    INT: {"integer", "longint", "int32", "cint"},
    TEXT: {"pansichar"},
    BUFFER: {"pansichar"},
    BYTES: {"pointer"},
    BYTES_OUT: {"pointer"},
    PORT: {"tnorvathandle", "pointer"},
    PORT_OUT: {"pnorvathandle", "ppointer"},
    LIST: {"tnorvatportlist", "pointer"},
    LIST_OUT: {"pnorvatportlist", "ppointer"},
    UNSIGNED_OUT: {"pcardinal", "plongword", "pdword"},
}
# The unit's own pointer types, which PAS_TYPES accepts, as they must be declared.
PAS_ALIASES = {"TNorvatHandle": "pointer", "PNorvatHandle": "^tnorvathandle",
               "TNorvatPortList": "pointer", "PNorvatPortList": "^tnorvatportlist"}


def strip_pascal_comments(text):
    text = re.sub(r"\{(?!\$).*?\}", " ", text, flags=re.S)
    text = re.sub(r"\(\*.*?\*\)", " ", text, flags=re.S)
    return re.sub(r"//[^\n]*", " ", text)


def pascal_branches(text, name):
    """(Windows value, other value) of a constant defined under {$IFDEF MSWINDOWS}/{$ELSE}."""
    for block in re.finditer(r"\{\$IFDEF\s+MSWINDOWS\}(.*?)\{\$ELSE\}(.*?)\{\$ENDIF\}", text,
                             flags=re.S | re.I):
        w = re.search(r"\b%s\s*=\s*([^;]+);" % name, block.group(1))
        o = re.search(r"\b%s\s*=\s*([^;]+);" % name, block.group(2))
        if w and o:
            return w.group(1).strip(), o.group(1).strip()
    return None


PAS_DIRECTIVES = {"cdecl", "stdcall", "register", "pascal", "safecall", "external", "name",
                  "overload", "varargs", "delayed", "inline", "platform", "deprecated"}
PAS_CONVENTIONS = {"cdecl", "stdcall", "register", "pascal", "safecall"}


def pascal_routines(interface):
    """(kind, name, parameters, result, directives) of each routine declared in interface."""
    chunks = re.split(r"(?=\b(?:function|procedure)\b)", interface, flags=re.I)
    for chunk in chunks:
        sig = re.match(r"(function|procedure)\s+(\w+)\s*(?:\(([^)]*)\))?\s*(?::\s*(\w+))?\s*;",
                       chunk, flags=re.I)
        if not sig:
            continue
        directives = []
        for part in chunk[sig.end():].split(";"):
            words = part.split()
            if not words or words[0].lower() not in PAS_DIRECTIVES:
                break
            directives.append(" ".join(words))
        yield sig.group(1).lower(), sig.group(2), sig.group(3) or "", sig.group(4), directives


def check_pascal(header, text):
    lang = "Pascal"
    problems = []
    code = strip_pascal_comments(text)
    interface = code.split("implementation", 1)[0]
    library = pascal_branches(interface, "NorvatLibrary")
    if library is None or library[0].lower() != "'norvat.dll'" or \
            library[1].lower() != "'libnorvat.so.1'":
        problems.append("%s: NorvatLibrary is %s, not 'Norvat.dll' on Windows and "
                        "'libNorvat.so.1' elsewhere" % (lang, library))
    # The library is bound at run time (a program without it still starts): a static
    # 'external NorvatLibrary' would stop that.
    for kind_of, name, params_text, result, directives in pascal_routines(code):
        external = [d for d in directives if d.lower().startswith("external")]
        target = external[0].split() if external else []
        if len(target) >= 2 and target[1].lower() in ("norvatlibrary", "'norvat.dll'", "'norvat'",
                                                      "'libnorvat.so.1'"):
            problems.append("%s: %s is declared external: a program without the library would "
                            "not start" % (lang, name))
    declared = {}
    record = re.search(r"\bTNorvatImports\s*=\s*record\b(.*?)\bend\s*;", interface,
                       flags=re.S | re.I)
    if not record:
        problems.append("%s: no TNorvatImports record of the exports" % lang)
    fields = re.finditer(r"(\w+)\s*:\s*(function|procedure)\s*(?:\(([^)]*)\))?\s*(?::\s*(\w+))?"
                         r"\s*;((?:\s*(?:cdecl|stdcall|register|pascal|safecall)\s*;)*)",
                         record.group(1) if record else "", flags=re.I)
    for field in fields:
        entry, kind_of, params_text, result = field.group(1), field.group(2).lower(), \
            field.group(3) or "", field.group(4)
        declared.setdefault(entry, []).append(entry)
        where = "%s: %s" % (lang, entry)
        conventions = [d.lower() for d in re.findall(r"\w+", field.group(5))]
        if conventions != ["cdecl"]:
            problems.append("%s: calling convention %s, not cdecl"
                            % (where, "/".join(conventions) or "register (the default)"))
        want = header.results.get(entry, INT)
        if (kind_of == "procedure") != (want == VOID) or \
                (want != VOID and (result or "").lower() not in PAS_TYPES[want]):
            problems.append("%s: returns %s, not %s" % (where, result or "nothing",
                                                         {INT: "Integer", TEXT: "PAnsiChar",
                                                          VOID: "nothing"}[want]))
        bound = re.findall(r"@NorvatImports\.%s\s*:=\s*Entry\(\s*'(\w*)'\s*\)" % entry, code)
        if bound != [entry]:
            problems.append("%s: bound to %s, not to its own name once"
                            % (where, ", ".join("'%s'" % b for b in bound) or "nothing"))
        if entry not in header.functions:
            continue
        params = []
        for group in params_text.split(";"):
            if not group.strip():
                continue
            names, _, ptype = group.partition(":")
            words = names.replace(",", " ").split()
            modifier = words[0].lower() if words[0].lower() in ("var", "out", "const",
                                                                "constref") else ""
            count = len(words) - (1 if modifier else 0)
            params += [(modifier, ptype.strip())] * count
        kinds = header.functions[entry]
        if len(params) != len(kinds):
            problems.append("%s: %d arguments, norvat.h has %d" % (where, len(params), len(kinds)))
            continue
        for i, ((modifier, ptype), kind) in enumerate(zip(params, kinds), 1):
            if modifier in ("var", "out", "constref"):
                problems.append("%s: argument %d is passed '%s'; the library takes it by value"
                                % (where, i, modifier))
            if ptype.lower() not in PAS_TYPES[kind]:
                problems.append("%s: argument %d is %s, norvat.h has %s (%s)"
                                % (where, i, ptype, kind, "/".join(sorted(PAS_TYPES[kind]))))
    common_checks(lang, header, declared, problems)

    for which, name, buffer in (("LISTING", "NORVAT_LISTING_BUFFER_SIZE", "TNorvatListingBuffer"),
                                ("VERSION", "NORVAT_VERSION_BUFFER_SIZE", "TNorvatVersionBuffer")):
        m = re.search(r"\b%s\s*=\s*(\d+)\s*;" % name, interface)
        if not m or int(m.group(1)) != header.sizes.get(which):
            problems.append("%s: %s is %s, norvat.h says %s"
                            % (lang, name, m and m.group(1), header.sizes.get(which)))
        t = re.search(r"\b%s\s*=\s*array\s*\[\s*0\s*\.\.\s*([^\]]+)\]\s*of\s+(\w+)" % buffer,
                      interface, flags=re.I)
        if not t or "".join(t.group(1).split()) != name + "-1" or t.group(2).lower() != "ansichar":
            problems.append("%s: %s is not array[0..%s - 1] of AnsiChar" % (lang, buffer, name))
    for alias, want in PAS_ALIASES.items():
        m = re.search(r"\b%s\s*=\s*([^;]+);" % alias, interface)
        if not m or "".join(m.group(1).split()).lower() != want:
            problems.append("%s: %s is %s, not %s" % (lang, alias, m and m.group(1).strip(), want))
    for m in re.finditer(r"norvat_read\(\s*\w+\s*,\s*Pointer\((\w+)\)\s*,\s*(\w+)\s*,", code):
        if not re.search(r"SetLength\(\s*%s\s*,\s*%s\s*\)" % (m.group(1), m.group(2)), code):
            problems.append("%s: the buffer for norvat_read does not hold its size" % lang)
    # The portable codes, fields, state bits and timeout: numbers, or an 'or' of state bits.
    found = {}
    for m in re.finditer(r"\bNORVAT_((?:ERR|FIELD|STATE|TIMEOUT)_\w+)\s*=\s*([^;]+);", interface):
        value = m.group(2).strip().replace("$", "0x")
        try:
            found[m.group(1)] = int(value, 0)
        except ValueError:
            found[m.group(1)] = 0
            for part in re.split(r"\s+or\s+", value, flags=re.I):
                found[m.group(1)] |= found.get(part.strip()[len("NORVAT_"):], 1 << 31)
    check_constants(lang, header, found, problems)
    return problems


# ---- Node.js (koffi) -----------------------------------------------------------------------

NODE_TYPES = {
    INT: {"int", "int32_t"},
    TEXT: {"const char *"},
    BUFFER: {"char *", "_Out_ char *", "_Inout_ char *"},
    # Opaque types named as the header names them; what the library fills is _Out_, or koffi
    # would not copy it back.
    PORT: {"norvat_port *"},
    LIST: {"norvat_port_list *", "const norvat_port_list *"},
    PORT_OUT: {"_Out_ norvat_port * *"},
    LIST_OUT: {"_Out_ norvat_port_list * *"},
    BYTES: {"const void *", "const uint8_t *"},
    BYTES_OUT: {"void *", "uint8_t *"},
    UNSIGNED_OUT: {"_Out_ unsigned int *", "_Out_ uint32_t *"},
    VOID: {"void"},
}
# The calls that wait for nothing, which may run on the event loop's thread (callNow).
NODE_AT_ONCE = {"norvat_cancel", "norvat_port_list_get", "norvat_free_port_list",
                "norvat_error_text"}


def check_node(header, native_text, index_text):
    lang = "Node.js"
    problems = []
    code = strip_c_comments(native_text)
    protos = re.search(r"\bPROTOTYPES\s*=\s*\[(.*?)\]", code, flags=re.S)
    if not protos:
        problems.append("%s: no PROTOTYPES list" % lang)
    declared = {}
    for proto in re.findall(r"'([^']*)'", protos.group(1) if protos else ""):
        m = re.fullmatch(r"\s*(.*?)\s*\b(\w+)\s*\((.*)\)\s*", proto)
        if not m:
            problems.append("%s: cannot read the prototype %r" % (lang, proto))
            continue
        lead, name, params_text = m.groups()
        declared.setdefault(name, []).append(proto)
        where = "%s: %s" % (lang, name)
        words = lead.split()
        conventions = [w for w in words if w.startswith("__")]
        if [c for c in conventions if c != "__cdecl"]:
            problems.append("%s: calling convention %s, not cdecl" % (where, "/".join(conventions)))
        result = " ".join(w for w in words if not w.startswith("__")).replace(" *", "").strip()
        result += " *" * lead.count("*")
        returns = header.results.get(name, INT)
        if result not in NODE_TYPES[returns]:
            problems.append("%s: returns %s, norvat.h has %s" % (where, result, returns))
        if name not in header.functions:
            continue
        params = [] if params_text.strip() in ("", "void") else params_text.split(",")
        kinds = header.functions[name]
        if len(params) != len(kinds):
            problems.append("%s: %d arguments, norvat.h has %d" % (where, len(params), len(kinds)))
            continue
        for i, (param, kind) in enumerate(zip(params, kinds), 1):
            ptype = " ".join(param.replace("*", " * ").split()).rsplit(" ", 1)[0]
            if ptype not in NODE_TYPES[kind]:
                problems.append("%s: argument %d is %s, norvat.h has %s (%s)"
                                % (where, i, ptype, kind, "/".join(sorted(NODE_TYPES[kind]))))
    common_checks(lang, header, declared, problems)

    if "koffi.load(" not in code:
        problems.append("%s: the library is not loaded through koffi.load" % lang)
    if not re.search(r"\.async\(", code):
        problems.append("%s: the exports are not called with .async: a write the device does not "
                        "take (about 20 s) would stop the event loop" % lang)
    if "koffi.errno()" not in code:
        problems.append("%s: no koffi.errno(): Linux's errno would be lost" % lang)
    if not re.search(r"GetLastError\s*\(\s*\)'", code):
        problems.append("%s: kernel32's GetLastError is not declared: the Windows code would be "
                        "lost" % lang)
    assigned = dict(re.findall(r"\bconst\s+(\w+)\s*=\s*(\d+)\s*;", code))
    for which, name in (("LISTING", "LISTING_BUFFER_SIZE"), ("VERSION", "VERSION_BUFFER_SIZE")):
        value = assigned.get(name)
        if value is None or int(value) != header.sizes.get(which):
            problems.append("%s: %s is %s, norvat.h says %s"
                            % (lang, name, value, header.sizes.get(which)))
    for fn, size in (("listingBuffer", "LISTING_BUFFER_SIZE"),
                     ("versionBuffer", "VERSION_BUFFER_SIZE")):
        if not re.search(r"function %s\(\)\s*\{\s*return Buffer\.alloc\(%s\);" % (fn, size), code):
            problems.append("%s: %s() does not allocate %s bytes" % (lang, fn, size))
    index = strip_c_comments(index_text)
    for call, need in (("FindFirstUSB", "listingBuffer"), ("FindNextUSB", "listingBuffer"),
                       ("GetDllVersion", "versionBuffer")):
        for m in re.finditer(r"call\(\s*'%s'\s*,\s*(\w+)\s*\)" % call, index):
            size = allocation(index, m.group(1), m.start(), r"(?:native\.)?(\w+)\(\)")
            if size != need:
                problems.append("%s: the buffer for %s is %s(), not %s()" % (lang, call, size, need))
    for m in re.finditer(r"call\(\s*'RcvBuf'\s*,\s*(\w+)\s*,\s*(\w+)\s*\)", index):
        size = allocation(index, m.group(1), m.start(), r"Buffer\.alloc\(([^)]*)\)")
        if size is None or "".join(size.split()) != m.group(2) + "+1":
            problems.append("%s: the buffer for RcvBuf is Buffer.alloc(%s); it must hold count + 1"
                            % (lang, size))
    for m in re.finditer(r"call\(\s*'norvat_read'\s*,\s*\w+\s*,\s*(\w+)\s*,\s*(\w+)", index):
        size = allocation(index, m.group(1), m.start(), r"Buffer\.alloc\(([^)]*)\)")
        if size is None or size.strip() != m.group(2):
            problems.append("%s: the buffer for norvat_read is Buffer.alloc(%s), not the %s bytes "
                            "it is given" % (lang, size, m.group(2)))
    for name in re.findall(r"callNow\(\s*'(\w+)'", index):
        if name not in NODE_AT_ONCE:
            problems.append("%s: %s is called on the event loop's thread (callNow): it may wait "
                            "for a device" % (lang, name))
    opaque = re.search(r"\bOPAQUE\s*=\s*\[([^\]]*)\]", code)
    if "koffi.opaque(" not in code or not opaque or \
            set(re.findall(r"'(\w+)'", opaque.group(1))) != {"norvat_port", "norvat_port_list"}:
        problems.append("%s: norvat_port and norvat_port_list are not declared koffi.opaque" % lang)

    # The portable codes, fields, state bits and timeout: ERR_* and TIMEOUT_DEFAULT, FIELDS and
    # STATES by the header's names in camelCase, NOT_READY the names of its bits.
    def names(name):
        found = re.search(r"\bconst\s+%s\s*=\s*\[([^\]]*)\]" % name, code)
        return re.findall(r"'(\w+)'", found.group(1)) if found else []
    found = {k: int(v) for k, v in
             re.findall(r"\bconst\s+((?:ERR_\w+)|TIMEOUT_DEFAULT)\s*=\s*(-?\d+)\s*;", code)}
    found.update({"FIELD_" + snake(name): number for number, name in enumerate(names("FIELDS"))})
    states = re.search(r"\bconst\s+STATES\s*=\s*\{([^}]*)\}", code)
    bits = {name: int(bit, 16) for name, bit in
            re.findall(r"(\w+)\s*:\s*(0x[0-9A-Fa-f]+)", states.group(1) if states else "")}
    found.update({"STATE_" + snake(name): bit for name, bit in bits.items()})
    found["STATE_NOT_READY"] = 0
    for name in names("NOT_READY"):
        found["STATE_NOT_READY"] |= bits.get(name, 1 << 31)
    check_constants(lang, header, found, problems)
    return problems


# ---- The version's copies -------------------------------------------------------------------

def check_versions(root):
    """Each package's metadata against interface/version.h: "M.m" for Python and Debian, "M.m.0"
    for npm and NuGet (which want three numbers). The version text keeps the ten exports'
    release whatever the package version is: it must fill GetDllVersion's 16-byte buffer."""
    def read(*parts):
        with open(os.path.join(root, *parts), encoding="utf-8") as f:
            return f.read()
    problems = []
    header = read("interface", "version.h")
    major = re.search(r"#define\s+NORVAT_VERSION_MAJOR\s+(\d+)", header)
    minor = re.search(r"#define\s+NORVAT_VERSION_MINOR\s+(\d+)", header)
    text = re.search(r'#define\s+NORVAT_VERSION_TEXT\s+"([^"]*)"', header)
    if not (major and minor and text):
        return ["version.h: NORVAT_VERSION_MAJOR, _MINOR or _TEXT missing"]
    version = "%s.%s" % (major.group(1), minor.group(1))
    if len(text.group(1)) != 15:
        problems.append("version.h: the text %r is not 15 characters" % text.group(1))
    copies = [
        (("bindings", "python", "pyproject.toml"), r'(?m)^version\s*=\s*"([^"]*)"', version),
        (("bindings", "python", "norvat", "__init__.py"), r'(?m)^__version__\s*=\s*"([^"]*)"', version),
        (("bindings", "node", "package.json"), r'"version"\s*:\s*"([^"]*)"', version + ".0"),
        (("bindings", "dotnet", "Norvat.csproj"), r"<Version>([^<]*)</Version>", version + ".0"),
        (("debian", "changelog"), r"\Anorvat \(([^)-]*)(?:-[^)]*)?\)", version),
    ]
    for parts, pattern, want in copies:
        m = re.search(pattern, read(*parts))
        if not m or m.group(1) != want:
            problems.append("%s: version %s, interface/version.h makes it %s"
                            % ("/".join(parts), m and m.group(1), want))
    return problems


def check(root):
    """All disagreements between norvat.h and the bindings under root, as text lines."""
    def read(*parts):
        with open(os.path.join(root, *parts), encoding="utf-8") as f:
            return f.read()
    header, problems = parse_header(read("include", "norvat.h"))
    problems += check_csharp(header, read("bindings", "dotnet", "Norvat.cs"))
    problems += check_python(header, read("bindings", "python", "norvat", "_native.py"),
                             read("bindings", "python", "norvat", "__init__.py"))
    problems += check_pascal(header, read("bindings", "pascal", "Norvat.pas"))
    problems += check_node(header, read("bindings", "node", "lib", "native.js"),
                           read("bindings", "node", "index.js"))
    problems += check_versions(root)
    return problems, header


def main(argv):
    root = argv[1] if len(argv) > 1 else os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    problems, header = check(root)
    for p in problems:
        print(p)
    if problems:
        return 1
    print("C#, Python, Pascal and Node.js agree with norvat.h: %d exports, buffers %d and %d "
          "bytes, the portable codes, fields and state bits; every package's version is "
          "interface/version.h's" % (len(header.functions), header.sizes["LISTING"],
                                     header.sizes["VERSION"]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
