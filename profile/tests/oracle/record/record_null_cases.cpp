// Records what the system's private-profile service answers when some of the
// arguments are null pointers. Reads a case file in the corpus format (the
// bare word null standing for a null string argument, SIZE written null:N for
// a null buffer of N characters), runs every case in a fresh empty folder and
// writes the same file back with the results filled in.
//
//   record_null_cases CASES OUT
//
// Built with mingw-w64 and run under Wine by record.sh.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace {

int g_line = 0;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "record_null_cases: line %d: %s\n", g_line, what.c_str());
    std::exit(2);
}

// A string argument; a null pointer when is_null.
struct Arg {
    bool is_null = false;
    std::string text;
    const char* ptr() const { return is_null ? nullptr : text.c_str(); }
};

struct Token {
    enum Kind { Word, String, Null } kind = Word;
    std::string text;
    size_t start = 0;
};

bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

// Blank lines and lines whose first non-blank character is '#'.
bool comment(const std::string& line) {
    size_t i = 0;
    while (i < line.size() && blank(line[i])) ++i;
    return i == line.size() || line[i] == '#';
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Splits a directive line into words, quoted strings and null.
std::vector<Token> tokenize(const std::string& line) {
    std::vector<Token> out;
    size_t i = 0;
    while (true) {
        while (i < line.size() && blank(line[i])) ++i;
        if (i == line.size()) return out;
        Token t;
        t.start = i;
        if (line[i] != '"') {
            while (i < line.size() && !blank(line[i])) t.text += line[i++];
            if (t.text == "null") t.kind = Token::Null;
            out.push_back(t);
            continue;
        }
        t.kind = Token::String;
        ++i;
        while (true) {
            if (i == line.size()) fail("unterminated string");
            char c = line[i++];
            if (c == '"') break;
            if (c != '\\') {
                t.text += c;
                continue;
            }
            if (i == line.size()) fail("unterminated string");
            char e = line[i++];
            switch (e) {
                case '\\':
                    t.text += '\\';
                    break;
                case '"':
                    t.text += '"';
                    break;
                case 'r':
                    t.text += '\r';
                    break;
                case 'n':
                    t.text += '\n';
                    break;
                case 't':
                    t.text += '\t';
                    break;
                case 'x': {
                    int hi = i + 1 < line.size() ? hex_digit(line[i]) : -1;
                    int lo = hi >= 0 ? hex_digit(line[i + 1]) : -1;
                    if (lo < 0) fail("bad \\x escape");
                    t.text += static_cast<char>(hi * 16 + lo);
                    i += 2;
                    break;
                }
                default:
                    fail(std::string("unknown escape \\") + e);
            }
        }
        out.push_back(t);
    }
}

std::string quote(const std::string& bytes) {
    std::string out = "\"";
    for (unsigned char c : bytes) {
        char tmp[8];
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c >= 0x20 && c <= 0x7E) {
                    out += static_cast<char>(c);
                } else {
                    std::snprintf(tmp, sizeof tmp, "\\x%02X", c);
                    out += tmp;
                }
        }
    }
    return out + "\"";
}

Arg arg(const std::vector<Token>& t, size_t i) {
    if (i >= t.size() || t[i].kind == Token::Word) fail("expected a string or null");
    Arg a;
    a.is_null = t[i].kind == Token::Null;
    a.text = t[i].text;
    return a;
}

long number(const std::vector<Token>& t, size_t i) {
    if (i >= t.size() || t[i].kind != Token::Word) fail("expected a number");
    char* end = nullptr;
    long v = std::strtol(t[i].text.c_str(), &end, 10);
    if (*end) fail("bad number " + t[i].text);
    return v;
}

// Folders and files ------------------------------------------------------

std::string g_root;     // holds one folder per case
std::string g_casedir;  // the running case's working folder
std::string g_windir;

std::string location(const std::string& loc) {
    std::string base, rel;
    if (loc.compare(0, 4, "cwd:") == 0) {
        base = g_casedir;
        rel = loc.substr(4);
    } else if (loc.compare(0, 7, "windir:") == 0) {
        base = g_windir;
        rel = loc.substr(7);
    } else {
        fail("location must start with cwd: or windir:");
    }
    for (char& c : rel)
        if (c == '/') c = '\\';
    return base + "\\" + rel;
}

bool read_file(const std::string& path, std::string& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) fail("cannot write " + path);
}

void remove_tree(const std::string& dir) {
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            std::string name = fd.cFileName;
            if (name == "." || name == "..") continue;
            std::string path = dir + "\\" + name;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                remove_tree(path);
            } else {
                SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(path.c_str());
            }
        } while (FindNextFileA(h, &fd));
        FindClose(h);
    }
    RemoveDirectoryA(dir.c_str());
}

std::string snapshot(const std::string& loc) {
    std::string path = location(loc);
    DWORD attr = GetFileAttributesA(path.c_str());
    if (attr == INVALID_FILE_ATTRIBUTES) return "absent";
    if (attr & FILE_ATTRIBUTE_DIRECTORY) return "directory";
    std::string bytes;
    if (!read_file(path, bytes)) fail("cannot read " + path);
    return quote(bytes);
}

// The calls ----------------------------------------------------------------

// Wine keeps parsed files in a per-process cache; the all-null write drops a
// file from it so the next call reads the bytes on disk. A null file name
// means win.ini in the Windows folder, which is dropped by that name.
void forget(const Arg& file) {
    WritePrivateProfileStringA(nullptr, nullptr, nullptr, file.is_null ? "win.ini" : file.ptr());
}

struct GetRun {
    int ret = 0;
    DWORD err = 0;
    std::vector<unsigned char> buf;
};

GetRun get_once(const Arg& s, const Arg& k, const Arg& d, long size, bool null_buf, const Arg& f,
                unsigned char fill) {
    GetRun r;
    r.buf.assign(static_cast<size_t>(size) + 64, fill);
    forget(f);
    SetLastError(0);
    r.ret = static_cast<int>(GetPrivateProfileStringA(
        s.ptr(), k.ptr(), d.ptr(), null_buf ? nullptr : reinterpret_cast<char*>(r.buf.data()),
        static_cast<DWORD>(size), f.ptr()));
    r.err = GetLastError();
    return r;
}

// Runs the call on a buffer filled with 0xCC and again on one filled with
// 0x5A: a byte the call wrote differs from its fill in at least one of them.
// The image runs from the first byte to the last one written.
std::string do_get(const std::vector<Token>& t) {
    Arg s = arg(t, 1), k = arg(t, 2), d = arg(t, 3), f = arg(t, 5);
    if (t.size() < 5 || t[4].kind != Token::Word) fail("expected a size");
    bool null_buf = t[4].text.compare(0, 5, "null:") == 0;
    long size = 0;
    if (null_buf) {
        size = std::strtol(t[4].text.c_str() + 5, nullptr, 10);
    } else {
        size = number(t, 4);
    }
    GetRun a = get_once(s, k, d, size, null_buf, f, 0xCC);
    std::string result = std::to_string(a.ret) + " ";
    if (null_buf) return result + "null err=" + std::to_string(a.err);

    GetRun b = get_once(s, k, d, size, null_buf, f, 0x5A);
    bool stable = a.ret == b.ret && a.err == b.err;
    size_t end = 0;
    std::string gaps;
    for (size_t i = 0; i < a.buf.size(); ++i) {
        bool written = a.buf[i] != 0xCC || b.buf[i] != 0x5A;
        if (written && a.buf[i] != b.buf[i]) stable = false;
        if (written) end = i + 1;
    }
    for (size_t i = 0; i < end; ++i)
        if (a.buf[i] == 0xCC && b.buf[i] == 0x5A) gaps += " unwritten=" + std::to_string(i);
    result += quote(std::string(a.buf.begin(), a.buf.begin() + static_cast<long>(end)));
    if (end > static_cast<size_t>(size)) result += " OVERRUN";
    result += gaps + " err=" + std::to_string(a.err);
    if (!stable) result += " UNSTABLE";
    return result;
}

std::string do_int(const std::vector<Token>& t) {
    Arg s = arg(t, 1), k = arg(t, 2), f = arg(t, 4);
    long dflt = number(t, 3);
    forget(f);
    SetLastError(0);
    UINT v = GetPrivateProfileIntA(s.ptr(), k.ptr(), static_cast<INT>(dflt), f.ptr());
    DWORD err = GetLastError();
    return std::to_string(v) + " err=" + std::to_string(err);
}

std::string do_write(const std::vector<Token>& t) {
    Arg s = arg(t, 1), k = arg(t, 2), v = arg(t, 3), f = arg(t, 4);
    forget(f);
    SetLastError(0);
    BOOL ok = WritePrivateProfileStringA(s.ptr(), k.ptr(), v.ptr(), f.ptr());
    DWORD err = GetLastError();
    return std::string(ok ? "1" : "0") + " err=" + std::to_string(err);
}

// Cases --------------------------------------------------------------------

struct Saved {
    std::string path;
    bool present = false;
    std::string bytes;
};
std::vector<Saved> g_saved;  // Windows-folder files the running case names

void begin_case(const std::string& id, const std::vector<std::string>& lines, size_t from) {
    g_casedir = g_root + "\\" + id;
    remove_tree(g_casedir);
    if (!CreateDirectoryA(g_casedir.c_str(), nullptr)) fail("cannot create " + g_casedir);
    if (!SetCurrentDirectoryA(g_casedir.c_str())) fail("cannot enter " + g_casedir);
    // Keep what the Windows folder holds under the names the case uses, and
    // start the case without those files.
    g_saved.clear();
    for (size_t i = from; i < lines.size(); ++i) {
        if (comment(lines[i])) continue;
        std::vector<Token> t = tokenize(lines[i]);
        if (t[0].text == "end") break;
        for (const Token& x : t) {
            if (x.kind != Token::Word || x.text.compare(0, 7, "windir:") != 0) continue;
            Saved s;
            s.path = location(x.text);
            s.present = read_file(s.path, s.bytes);
            g_saved.push_back(s);
            DeleteFileA(s.path.c_str());
        }
    }
}

void end_case() {
    SetCurrentDirectoryA(g_root.c_str());
    remove_tree(g_casedir);
    for (auto it = g_saved.rbegin(); it != g_saved.rend(); ++it) {
        if (it->present) {
            write_file(it->path, it->bytes);
        } else {
            DeleteFileA(it->path.c_str());
        }
    }
    g_saved.clear();
}

std::string wine_version() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    FARPROC p = ntdll ? GetProcAddress(ntdll, "wine_get_version") : nullptr;
    if (!p) return "none";
    auto fn = reinterpret_cast<const char* (*)()>(reinterpret_cast<void (*)()>(p));
    return fn();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: record_null_cases CASES OUT\n");
        return 2;
    }
    std::string text;
    if (!read_file(argv[1], text)) {
        std::fprintf(stderr, "record_null_cases: cannot read %s\n", argv[1]);
        return 2;
    }
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        std::string line = text.substr(pos, nl - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        pos = nl + 1;
    }

    char buf[MAX_PATH];
    GetFullPathNameA(argv[2], MAX_PATH, buf, nullptr);
    const std::string out_path = buf;
    GetWindowsDirectoryA(buf, MAX_PATH);
    g_windir = buf;
    GetTempPathA(MAX_PATH, buf);
    g_root = std::string(buf) + "null-cases-" + std::to_string(GetCurrentProcessId());
    remove_tree(g_root);  // left behind by a run that crashed
    if (!CreateDirectoryA(g_root.c_str(), nullptr)) {
        std::fprintf(stderr, "record_null_cases: cannot create %s\n", g_root.c_str());
        return 2;
    }
    SetCurrentDirectoryA(g_root.c_str());

    std::string out = "#@ recorded by record_null_cases: wine " + wine_version() +
                      ", ANSI code page " + std::to_string(GetACP()) + "\n";
    bool in_case = false;
    int cases = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        g_line = static_cast<int>(i + 1);
        const std::string& line = lines[i];
        if (line.compare(0, 2, "#@") == 0) continue;
        if (comment(line)) {
            out += line + "\n";
            continue;
        }
        std::vector<Token> t = tokenize(line);
        const std::string& what = t[0].text;
        std::string result;
        if (what == "case") {
            if (in_case || t.size() != 2) fail("bad case line");
            begin_case(t[1].text, lines, i + 1);
            in_case = true;
            ++cases;
        } else if (!in_case) {
            fail("directive outside a case");
        } else if (what == "end") {
            end_case();
            in_case = false;
        } else if (what == "title" || what == "tags") {
        } else if (what == "setup") {
            if (t.size() < 3) fail("bad setup line");
            std::string path = location(t[2].text);
            if (t[1].text == "dir") {
                CreateDirectoryA(path.c_str(), nullptr);
            } else if (t[1].text == "file" && t.size() >= 4 && t[3].kind == Token::String) {
                write_file(path, t[3].text);
            } else {
                fail("bad setup line");
            }
        } else if (what == "get" || what == "int" || what == "write") {
            size_t arrow = line.size();
            for (const Token& x : t)
                if (x.kind == Token::Word && x.text == "->") arrow = x.start;
            std::vector<Token> call(t.begin(), t.end());
            while (!call.empty() && call.back().start >= arrow) call.pop_back();
            if (what == "get")
                result = do_get(call);
            else if (what == "int")
                result = do_int(call);
            else
                result = do_write(call);
            std::string head = line.substr(0, arrow);
            while (!head.empty() && blank(head.back())) head.pop_back();
            out += head + " -> " + result + "\n";
            continue;
        } else if (what == "expect") {
            if (t.size() < 2) fail("bad expect line");
            out += line.substr(0, t[1].start + t[1].text.size()) + " " + snapshot(t[1].text) + "\n";
            continue;
        } else {
            fail("unknown directive " + what);
        }
        out += line + "\n";
    }
    if (in_case) fail("missing end");
    SetCurrentDirectoryA(g_windir.c_str());
    remove_tree(g_root);

    std::ofstream o(out_path, std::ios::binary | std::ios::trunc);
    o << out;
    if (!o) {
        std::fprintf(stderr, "record_null_cases: cannot write %s\n", out_path.c_str());
        return 2;
    }
    std::printf("record_null_cases: %d cases recorded\n", cases);
    return 0;
}
