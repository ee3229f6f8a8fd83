#include "platform/profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace clst::platform {

namespace {

enum class Load { kOk, kMissing, kRefused };

Load ReadWholeFile(const std::string& path, std::string& out, mode_t* mode) {
    out.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return errno == ENOENT ? Load::kMissing : Load::kRefused;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::size_t>(st.st_size) > kMaxProfileFileSize) {
        ::close(fd);
        return Load::kRefused;
    }
    if (mode)
        *mode = st.st_mode & 07777;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ::close(fd);
            return Load::kRefused;
        }
        if (n == 0)
            break;
        out.append(chunk, static_cast<std::size_t>(n));
        if (out.size() > kMaxProfileFileSize) {
            ::close(fd);
            return Load::kRefused;
        }
    }
    ::close(fd);
    // A NUL byte never occurs in a text profile: treat such a file as foreign.
    if (out.find('\0') != std::string::npos)
        return Load::kRefused;
    return Load::kOk;
}

bool EqualNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const unsigned char x = static_cast<unsigned char>(a[i]);
        const unsigned char y = static_cast<unsigned char>(b[i]);
        if ((x >= 'A' && x <= 'Z' ? x + 32 : x) != (y >= 'A' && y <= 'Z' ? y + 32 : y))
            return false;
    }
    return true;
}

std::string Trim(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t'))
        ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t'))
        --e;
    return s.substr(b, e - b);
}

// One line of the file, its line end kept apart so it can be put back as is.
struct Line {
    std::string text;  // without the line end
    std::string end;   // "\r\n", "\n" or "" (last line without one)
};

std::vector<Line> SplitLines(const std::string& content) {
    std::vector<Line> lines;
    std::size_t pos = 0;
    while (pos < content.size()) {
        const std::size_t nl = content.find('\n', pos);
        Line line;
        if (nl == std::string::npos) {
            line.text = content.substr(pos);
            pos = content.size();
        } else {
            line.text = content.substr(pos, nl - pos);
            line.end = "\n";
            pos = nl + 1;
        }
        if (!line.text.empty() && line.text.back() == '\r') {
            line.text.pop_back();
            line.end = line.end.empty() ? "\r" : "\r\n";
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

// Section name of a "[name]" line.
bool SectionName(const std::string& text, std::string& name) {
    const std::string t = Trim(text);
    if (t.empty() || t[0] != '[')
        return false;
    const std::size_t close = t.find(']');
    name = Trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
    return true;
}

// Key of a "key=value" line; `eq` receives the position of the '='. Lines
// starting with ';' are comments, even when they hold a '='.
bool KeyOf(const std::string& text, std::string& key, std::size_t& eq) {
    const std::string trimmed = Trim(text);
    if (!trimmed.empty() && trimmed[0] == ';')
        return false;
    eq = text.find('=');
    if (eq == std::string::npos)
        return false;
    key = Trim(text.substr(0, eq));
    return true;
}

struct Found {
    long sectionLine = -1;  // the "[section]" line
    long lastLine = -1;     // last line belonging to the section
    long keyLine = -1;
    std::size_t keyEq = 0;
};

Found Find(const std::vector<Line>& lines, const std::string& section, const std::string& key) {
    Found f;
    bool inside = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string name;
        if (SectionName(lines[i].text, name)) {
            if (inside)
                break;  // the first matching section is the one used
            if (EqualNoCase(name, section)) {
                inside = true;
                f.sectionLine = f.lastLine = static_cast<long>(i);
            }
            continue;
        }
        if (!inside)
            continue;
        f.lastLine = static_cast<long>(i);
        std::string k;
        std::size_t eq = 0;
        if (f.keyLine < 0 && KeyOf(lines[i].text, k, eq) && EqualNoCase(k, key)) {
            f.keyLine = static_cast<long>(i);
            f.keyEq = eq;
        }
    }
    return f;
}

// Line ends split a line; a NUL byte would make the whole file foreign.
bool BreaksLines(const std::string& s) {
    return s.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

bool WriteAtomically(const std::string& path, const std::string& content, mode_t mode) {
    std::string tmpl = path + ".tmpXXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = ::fchmod(fd, mode) == 0;
    std::size_t done = 0;
    while (ok && done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (ok)
        ok = ::fsync(fd) == 0;
    if (::close(fd) != 0)
        ok = false;
    if (ok)
        ok = ::rename(name.data(), path.c_str()) == 0;
    if (!ok)
        ::unlink(name.data());
    return ok;
}

// The file a profile path names: a symbolic link stands for its target, as
// on Windows, so that a write replaces the target's contents and keeps the
// link. A dangling link is the file it would create; a loop of links is left
// for the write to fail on.
std::string FollowLinks(const std::string& path) {
    std::string current = path;
    for (int hops = 0; hops < 40; ++hops) {
        char target[4096];
        const ssize_t n = ::readlink(current.c_str(), target, sizeof target);
        if (n <= 0 || static_cast<std::size_t>(n) == sizeof target)
            return current;
        std::string next(target, static_cast<std::size_t>(n));
        if (next.front() != '/') {
            const std::size_t slash = current.rfind('/');
            next =
                (slash == std::string::npos ? std::string() : current.substr(0, slash + 1)) + next;
        }
        current = next;
    }
    return current;
}

}  // namespace

std::string ReadProfileString(const std::string& section, const std::string& key,
                              const std::string& defaultValue, std::size_t bufferSize,
                              const std::string& path) {
    if (bufferSize == 0)
        return std::string();
    std::string value = defaultValue;
    std::string content;
    if (ReadWholeFile(path, content, nullptr) == Load::kOk) {
        const std::vector<Line> lines = SplitLines(content);
        const Found f = Find(lines, section, key);
        if (f.keyLine >= 0)
            value = Trim(lines[static_cast<std::size_t>(f.keyLine)].text.substr(f.keyEq + 1));
    }
    if (value.size() > bufferSize - 1)
        value.resize(bufferSize - 1);
    return value;
}

int ReadProfileInt(const std::string& section, const std::string& key, int defaultValue,
                   const std::string& path) {
    const std::string text = ReadProfileString(section, key, "", 64, path);
    if (text.empty())
        return defaultValue;
    std::size_t i = 0;
    bool negative = false;
    if (text[i] == '-' || text[i] == '+')
        negative = text[i++] == '-';
    long long v = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        v = v * 10 + (text[i] - '0');
        if (v > 0xFFFFFFFFLL)
            v = 0xFFFFFFFFLL;  // keep going without overflow
    }
    return static_cast<int>(static_cast<unsigned>(negative ? -v : v));
}

bool WriteProfileString(const std::string& section, const std::string& key,
                        const std::string& value, const std::string& path) {
    if (BreaksLines(section) || BreaksLines(key) || BreaksLines(value))
        return false;
    if (section.find_first_of("[]") != std::string::npos)
        return false;
    if (Trim(key).empty() || key.find('=') != std::string::npos)
        return false;
    if (key[0] == '[' || key[0] == ';')  // the line would read as a section or a comment
        return false;
    if (Trim(section) != section || Trim(key) != key)
        return false;

    const std::string file = FollowLinks(path);
    std::string content;
    mode_t mode = 0644;
    const Load load = ReadWholeFile(file, content, &mode);
    if (load == Load::kRefused)
        return false;

    std::vector<Line> lines = SplitLines(content);
    std::string eol = "\r\n";  // a new file gets the line ends of the Win32 calls
    if (!lines.empty() && lines.front().end != "\r")
        eol = lines.front().end.empty() ? "\n" : lines.front().end;
    // The last line may have no line end or a lone CR, which ends no line
    // for the reader: a line added after it first gets one.
    const auto endLine = [&eol](Line& line) {
        if (line.end.empty())
            line.end = eol;
        else if (line.end == "\r")
            line.end = "\r\n";
    };

    const Found f = Find(lines, section, key);
    if (f.keyLine >= 0) {
        Line& line = lines[static_cast<std::size_t>(f.keyLine)];
        line.text = line.text.substr(0, f.keyEq + 1) + value;
    } else if (f.sectionLine >= 0) {
        // After the section's last non-blank line, before blank lines that
        // separate it from the next section.
        long at = f.lastLine;
        while (at > f.sectionLine && Trim(lines[static_cast<std::size_t>(at)].text).empty())
            --at;
        endLine(lines[static_cast<std::size_t>(at)]);
        Line added;
        added.text = key;
        added.text += '=';
        added.text += value;
        added.end = eol;
        lines.insert(lines.begin() + at + 1, std::move(added));
    } else {
        if (!lines.empty())
            endLine(lines.back());
        lines.push_back(Line{"[" + section + "]", eol});
        lines.push_back(Line{key + "=" + value, eol});
    }

    std::string out;
    out.reserve(content.size() + key.size() + value.size() + section.size() + 8);
    for (const Line& line : lines)
        out += line.text + line.end;
    if (out.size() > kMaxProfileFileSize)
        return false;
    return WriteAtomically(file, out, mode);
}

}  // namespace clst::platform
