#include "workflow/IniFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "media/MyUtils.h"

namespace kv::workflow {

namespace {

const char* const Blanks = " \t";

std::string Folded(const std::string& s)
{
    std::string folded = s;
    for (char& c : folded)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return folded;
}

bool SameText(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

bool IsComment(const std::string& trimmed)
{
    return !trimmed.empty() && (trimmed[0] == ';' || trimmed[0] == '#');
}

// The section name of a header line, or false when the line is not a header.
bool ParseHeader(const std::string& line, std::string& name)
{
    const std::string t = media::TrimSpacesAndTabs(line);
    if (t.empty() || t[0] != '[') return false;
    const std::size_t close = t.find(']');
    name = media::TrimSpacesAndTabs(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
    return true;
}

// Key and value of a "key=value" line, or false for blank, comment and header lines.
bool ParseEntry(const std::string& line, std::string& key, std::string* value)
{
    const std::string t = media::TrimSpacesAndTabs(line);
    if (t.empty() || t[0] == '[' || IsComment(t)) return false;
    const std::size_t eq = t.find('=');
    if (eq == std::string::npos) return false;
    key = media::TrimSpacesAndTabs(t.substr(0, eq));
    if (value) {
        std::string v = media::TrimSpacesAndTabs(t.substr(eq + 1));
        if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
            v = v.substr(1, v.size() - 2);
        *value = v;
    }
    return true;
}

// A value as it goes into the file: a line feed would split the entry and is left
// out. Blanks at its ends, enclosing quotes or a carriage return at its end (which
// reads as part of the line end) would be lost on reading, so such a value is quoted;
// a carriage return inside it stays, as it was read.
std::string EncodeValue(const std::string& value)
{
    std::string v;
    v.reserve(value.size());
    for (char c : value)
        if (c != '\n') v += c;
    const bool edgeBlank = !v.empty() && (std::string(Blanks).find(v.front()) != std::string::npos ||
                                          std::string(Blanks).find(v.back()) != std::string::npos);
    const bool quoted = v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front();
    const bool endsInReturn = !v.empty() && v.back() == '\r';
    return edgeBlank || quoted || endsInReturn ? "\"" + v + "\"" : v;
}

bool ParseDigits(const std::string& s, std::size_t from, unsigned base, std::uint64_t limit,
                 std::uint64_t& value)
{
    if (from >= s.size()) return false;
    value = 0;
    for (std::size_t i = from; i < s.size(); ++i) {
        const char c = s[i];
        unsigned d;
        if (c >= '0' && c <= '9') d = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f') d = static_cast<unsigned>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F') d = static_cast<unsigned>(c - 'A' + 10);
        else return false;
        value = value * base + d;
        if (value > limit) return false;
    }
    return true;
}

bool WriteAll(int fd, const std::string& data)
{
    const char* p = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

bool TryParseIniInteger(const std::string& text, int& value)
{
    std::uint64_t v = 0;
    // Hexadecimal takes the full 32 bits, as the profile files of old did: $FFFFFFFF is -1.
    if (!text.empty() && text[0] == '$') {
        if (!ParseDigits(text, 1, 16, 0xFFFFFFFFull, v)) return false;
        value = static_cast<int>(static_cast<std::uint32_t>(v));
        return true;
    }
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        if (!ParseDigits(text, 2, 16, 0xFFFFFFFFull, v)) return false;
        value = static_cast<int>(static_cast<std::uint32_t>(v));
        return true;
    }
    const bool negative = !text.empty() && text[0] == '-';
    const std::size_t from = !text.empty() && (text[0] == '-' || text[0] == '+') ? 1 : 0;
    if (!ParseDigits(text, from, 10, negative ? 2147483648ull : 2147483647ull, v)) return false;
    value = negative ? static_cast<int>(-static_cast<std::int64_t>(v)) : static_cast<int>(v);
    return true;
}

TIniFile::TIniFile(const std::string& fileName) : FFileName(fileName)
{
    std::error_code ec;
    if (!std::filesystem::exists(fileName, ec)) return;
    // A file that is there but cannot be read must not be replaced by one holding only
    // the values we write: UpdateFile refuses it.
    FUnreadable = true;
    const std::uintmax_t size = std::filesystem::file_size(fileName, ec);
    if (ec || size > MaxFileSize) return;
    std::ifstream in(fileName, std::ios::binary);
    if (!in) return;
    std::string data(static_cast<std::size_t>(size), '\0');
    in.read(data.data(), static_cast<std::streamsize>(data.size()));
    data.resize(static_cast<std::size_t>(in.gcount()));
    if (in.bad() || data.find('\0') != std::string::npos) return;
    FUnreadable = false;
    if (data.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        FBom = data.substr(0, 3);
        data.erase(0, 3);
    }
    std::size_t pos = 0;
    bool newLineChosen = false;
    while (pos < data.size()) {
        const std::size_t nl = data.find('\n', pos);
        TLine line;
        if (nl == std::string::npos) {
            line.Text = data.substr(pos);
            pos = data.size();
        } else {
            line.Text = data.substr(pos, nl - pos);
            line.Eol = "\n";
            if (!line.Text.empty() && line.Text.back() == '\r') {
                line.Text.pop_back();
                line.Eol = "\r\n";
            }
            if (!newLineChosen) {
                FNewLine = line.Eol;
                newLineChosen = true;
            }
            pos = nl + 1;
        }
        std::string name;
        if (ParseHeader(line.Text, name)) IndexHeader(static_cast<int>(FLines.size()), name);
        FLines.push_back(std::move(line));
    }
}

void TIniFile::IndexHeader(int at, const std::string& name)
{
    FHeaders.insert(std::upper_bound(FHeaders.begin(), FHeaders.end(), at), at);
    auto [first, added] = FFirstHeader.emplace(Folded(name), at);
    if (!added && first->second > at) first->second = at;
}

void TIniFile::InsertLine(int at, TLine line)
{
    std::string name;
    const bool header = ParseHeader(line.Text, name);
    if (at < static_cast<int>(FLines.size())) {
        for (int& h : FHeaders)
            if (h >= at) ++h;
        for (auto& entry : FFirstHeader)
            if (entry.second >= at) ++entry.second;
    }
    FLines.insert(FLines.begin() + at, std::move(line));
    if (header) IndexHeader(at, name);
}

int TIniFile::FindSection(const std::string& section) const
{
    const auto found = FFirstHeader.find(Folded(section));
    return found == FFirstHeader.end() ? -1 : found->second;
}

int TIniFile::SectionEnd(int header) const
{
    const auto next = std::upper_bound(FHeaders.begin(), FHeaders.end(), header);
    return next == FHeaders.end() ? static_cast<int>(FLines.size()) : *next;
}

int TIniFile::FindKey(int header, const std::string& key) const
{
    std::string name;
    const int end = SectionEnd(header);
    for (int i = header + 1; i < end; ++i)
        if (ParseEntry(FLines[static_cast<std::size_t>(i)].Text, name, nullptr) && SameText(name, key))
            return i;
    return -1;
}

bool TIniFile::SectionExists(const std::string& section) const
{
    return FindSection(section) >= 0;
}

bool TIniFile::ValueExists(const std::string& section, const std::string& key) const
{
    const int header = FindSection(section);
    return header >= 0 && FindKey(header, key) >= 0;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) const
{
    const int header = FindSection(section);
    if (header < 0) return defaultValue;
    const int at = FindKey(header, key);
    if (at < 0) return defaultValue;
    std::string name, value;
    ParseEntry(FLines[static_cast<std::size_t>(at)].Text, name, &value);
    return value;
}

int TIniFile::ReadInteger(const std::string& section, const std::string& key, int defaultValue) const
{
    int value = 0;
    return TryParseIniInteger(ReadString(section, key, std::string()), value) ? value : defaultValue;
}

void TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value)
{
    const std::string encoded = EncodeValue(value);
    int header = FindSection(section);
    if (header >= 0) {
        const int at = FindKey(header, key);
        if (at >= 0) {
            // Keep the key's spelling and the blanks around "=" as the file has them.
            std::string& text = FLines[static_cast<std::size_t>(at)].Text;
            std::size_t valueStart = text.find('=') + 1;
            while (valueStart < text.size() && (text[valueStart] == ' ' || text[valueStart] == '\t'))
                ++valueStart;
            const std::string updated = text.substr(0, valueStart) + encoded;
            if (updated != text) {
                text = updated;
                FModified = true;
            }
            return;
        }
        // A new key goes after the section's last entry, so that comments heading the
        // next section stay with it.
        int insertAt = header + 1;
        std::string name;
        const int end = SectionEnd(header);
        for (int i = header + 1; i < end; ++i)
            if (ParseEntry(FLines[static_cast<std::size_t>(i)].Text, name, nullptr)) insertAt = i + 1;
        if (FLines[static_cast<std::size_t>(insertAt - 1)].Eol.empty())
            FLines[static_cast<std::size_t>(insertAt - 1)].Eol = FNewLine;
        InsertLine(insertAt, TLine{key + "=" + encoded, FNewLine});
        FModified = true;
        return;
    }
    if (!FLines.empty()) {
        if (FLines.back().Eol.empty()) FLines.back().Eol = FNewLine;
        if (!media::TrimSpacesAndTabs(FLines.back().Text).empty()) InsertLine(static_cast<int>(FLines.size()), TLine{std::string(), FNewLine});
    }
    InsertLine(static_cast<int>(FLines.size()), TLine{"[" + section + "]", FNewLine});
    InsertLine(static_cast<int>(FLines.size()), TLine{key + "=" + encoded, FNewLine});
    FModified = true;
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int value)
{
    // A number already there in another spelling ("$10", "0x10", "+16") is left as written.
    int current = 0;
    if (ValueExists(section, key) && TryParseIniInteger(ReadString(section, key, std::string()), current) &&
        current == value)
        return;
    WriteString(section, key, std::to_string(value));
}

std::string TIniFile::Text() const
{
    std::string out = FBom;
    for (const TLine& line : FLines) out += line.Text + line.Eol;
    return out;
}

void TIniFile::UpdateFile()
{
    if (!FModified) return;
    namespace fs = std::filesystem;
    const std::string failure = "Unable to write to " + FFileName;
    if (FUnreadable) throw EIniFileException(failure);

    // Write through a symbolic link to the file it names, and keep the link.
    fs::path target(FFileName);
    std::error_code ec;
    if (fs::is_symlink(target, ec)) {
        const fs::path resolved = fs::weakly_canonical(target, ec);
        if (!ec) target = resolved;
    }
    fs::path folder = target.parent_path();
    if (folder.empty()) folder = ".";

    std::string temp = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) throw EIniFileException(failure);

    struct stat old{};
    if (::stat(target.c_str(), &old) == 0) {
        ::fchmod(fd, old.st_mode & 07777);
        if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
            // Another owner cannot be kept when we are not allowed to give files away.
        }
    } else {
        ::fchmod(fd, 0644);
    }

    bool ok = WriteAll(fd, Text()) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
        throw EIniFileException(failure);
    }
    // Make the rename itself durable.
    const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    FModified = false;
}

}  // namespace kv::workflow
