#include "random_files.h"

namespace oracle {
namespace {

bool is_blank(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r') || c == '\x1A';
}

const std::vector<std::string> kWords = {"1",
                                         "888",
                                         "run.log",
                                         "Success",
                                         "Failed",
                                         "a b c",
                                         "C:\\dir\\file.txt",
                                         "x=y",
                                         "; not a comment",
                                         "notepad.exe notes.txt",
                                         "0x1F",
                                         "-5",
                                         "4294967297",
                                         "  12abc",
                                         "caf\xE9",
                                         "\xA0nbsp\xA0",
                                         "v"};

}  // namespace

const std::vector<std::string>& RandomFiles::section_pool() {
    static const std::vector<std::string> pool = {"S", "Vestrel", "LPT SECTION", "ZOR_PNotes_File",
                                                  "a", "App"};
    return pool;
}

const std::vector<std::string>& RandomFiles::key_pool() {
    static const std::vector<std::string> pool = {
        "k", "LptPort", "LogFile", "LPT1_BASE", "PNotesCommandLine", "x", "Flag"};
    return pool;
}

std::string RandomFiles::name_variant(const std::string& name) {
    if (!chance(30)) return name;
    std::string out = name;
    for (char& c : out) {
        if (chance(50)) {
            if (c >= 'a' && c <= 'z')
                c = static_cast<char>(c - 'a' + 'A');
            else if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

std::string RandomFiles::blanks() {
    static const std::vector<std::string> kinds = {"", "", "", " ", "  ", "\t", " \t "};
    return pick(kinds);
}

std::string RandomFiles::value(bool tidy_style) {
    std::string v;
    switch (below(10)) {
        case 0:
            v = "";
            break;
        case 1:
            v = std::to_string(below(100000));
            break;
        case 2:
            v = "\"" + pick(kWords) + "\"";
            break;
        case 3:
            v = "'" + pick(kWords) + "'";
            break;
        case 4:
            v = std::string(1 + below(chance(10) ? 5000 : 400), static_cast<char>('a' + below(26)));
            break;
        case 5: {
            const uint32_t n = 1 + below(40);
            for (uint32_t i = 0; i < n; ++i) v.push_back(static_cast<char>(0x20 + below(0xE0)));
            break;
        }
        default:
            v = pick(kWords);
            break;
    }
    if (tidy_style) {
        // The service never writes blanks at either end of a value.
        while (!v.empty() && is_blank(v.front())) v.erase(v.begin());
        while (!v.empty() && is_blank(v.back())) v.pop_back();
    }
    return v;
}

File RandomFiles::file(bool tidy_style) {
    if (!tidy_style && chance(4)) return std::nullopt;
    std::vector<std::string> lines;
    const uint32_t count = below(tidy_style ? 24 : 30);
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t kind = below(100);
        std::string line;
        if (kind < 22) {
            const std::string name = name_variant(pick(section_pool()));
            if (tidy_style) {
                line = "[" + name + "]";
            } else {
                line = blanks() + "[" + blanks() + name + blanks() + "]";
                if (chance(10)) line += chance(50) ? " ; note" : "junk";
            }
        } else if (kind < 80) {
            const std::string name = name_variant(pick(key_pool()));
            if (tidy_style) {
                line = name + "=" + value(true);
            } else {
                line = blanks() + name + blanks() + "=" + blanks() + value(false) + blanks();
            }
        } else if (kind < 88) {
            line = chance(50) ? "; comment " + std::to_string(i) : "# note";
        } else if (kind < 94) {
            line = chance(50) ? name_variant(pick(key_pool())) : "stray text";
        } else if (!tidy_style) {
            line = blanks();
        } else {
            line = "; tidy " + std::to_string(i);
        }
        lines.push_back(line);
    }
    std::string eol = "\r\n";
    if (!tidy_style) {
        const uint32_t e = below(100);
        eol = e < 55 ? "\r\n" : (e < 95 ? "\n" : "\r");
    }
    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        out += lines[i];
        if (i + 1 < lines.size() || tidy_style || !chance(25)) out += eol;
    }
    return out;
}

std::string RandomFiles::write_value() {
    switch (below(20)) {
        case 0:
            return "";
        case 1:
            return "  lead";
        case 2:
            return "trail  ";
        case 3:
            return ".\\req.ini: port = 1, addr = 888\n";
        case 4:
            return std::string(300 + below(3000), 'v');
        case 5:
            return "\"quoted\"";
        case 6:
            return "a=b; \"c\"";
        case 7:
            return "caf\xE9 \x80\xFF";
        default:
            return pick(kWords);
    }
}

Operation RandomFiles::operation() {
    Operation op;
    const uint32_t kind = below(100);
    op.kind = kind < 45 ? Kind::get_string : (kind < 65 ? Kind::get_int : Kind::put_string);
    op.section = name_variant(pick(section_pool()));
    op.key = name_variant(pick(key_pool()));
    if (op.kind != Kind::put_string && chance(5)) {
        op.section = " " + op.section + "\t";  // blanks around requested names
    }
    switch (op.kind) {
        case Kind::get_string: {
            static const std::vector<std::string> defaults = {
                "", "none", "!! NOT FOUND !!", "default   ", "  lead", "   ", "one two  "};
            op.text = pick(defaults);
            static const std::vector<uint32_t> sizes = {1, 2,  3,   4,   5,   7,
                                                        8, 16, 300, 300, 388, 6000};
            op.size = pick(sizes);
            break;
        }
        case Kind::get_int: {
            static const std::vector<int> defaults = {0, 0, 1, -1, 42, 2147483647};
            op.int_default = pick(defaults);
            break;
        }
        case Kind::put_string:
            op.text = write_value();
            break;
    }
    return op;
}

bool is_tidy(const std::string& file) {
    if (file.empty()) return true;
    if (file.size() < 2 || file.compare(file.size() - 2, 2, "\r\n") != 0) return false;
    std::size_t pos = 0;
    while (pos < file.size()) {
        const std::size_t end = file.find("\r\n", pos);
        const std::string line = file.substr(pos, end - pos);
        pos = end + 2;
        if (line.empty() || is_blank(line.front()) || is_blank(line.back())) return false;
        for (char c : line) {
            if (c == '\r' || c == '\n' || c == '\0') return false;
        }
        const std::size_t close = line.rfind(']');
        if (line.front() == '[' && close != std::string::npos) {
            if (close != line.size() - 1 || close < 2) return false;
            if (is_blank(line[1]) || is_blank(line[close - 1])) return false;
            continue;
        }
        const std::size_t eq = line.find('=');
        if (eq != std::string::npos) {
            if (eq == 0 || is_blank(line[eq - 1])) return false;
            if (eq + 1 < line.size() && is_blank(line[eq + 1])) return false;
        }
    }
    return true;
}

}  // namespace oracle
