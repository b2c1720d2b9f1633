#pragma once
// A profile-style INI file held in memory as the lines it was read from, so that a
// save changes only the values written: comments, blank lines, unknown sections,
// keys we never write and the file's line endings all come back out unchanged.
//
// Conventions (those of desktop profile files): "[Section]" on a line of its own,
// "Key=Value" lines, section and key names compared without regard to ASCII case,
// blanks around names and values ignored, a value wrapped in matching quotes read
// without them. The first of duplicate sections or keys is the one read and written.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

namespace kv::workflow {

// A settings file that could not be written; the message is "Unable to write to <file>".
class EIniFileException : public std::runtime_error {
public:
    explicit EIniFileException(const std::string& message) : std::runtime_error(message) {}
};

class TIniFile {
public:
    // Reads `fileName` when it exists; otherwise starts empty. A file that exists but
    // cannot be read, is no text (it holds zero bytes) or is larger than any settings
    // file (MaxFileSize) reads as empty and is never written over.
    explicit TIniFile(const std::string& fileName);
    static constexpr std::uintmax_t MaxFileSize = 64u << 20;

    const std::string& FileName() const { return FFileName; }

    bool SectionExists(const std::string& section) const;
    bool ValueExists(const std::string& section, const std::string& key) const;

    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& defaultValue) const;
    // Decimal, or hexadecimal after "$" or "0x"/"0X"; anything else reads as `defaultValue`.
    int ReadInteger(const std::string& section, const std::string& key, int defaultValue) const;

    // Changes the value in place (or adds the key at the end of its section, or the
    // section at the end of the file). Takes effect on disk with UpdateFile.
    void WriteString(const std::string& section, const std::string& key, const std::string& value);
    void WriteInteger(const std::string& section, const std::string& key, int value);

    // Writes the whole text to a temporary file beside the target and renames it over
    // the target, so that the old file stays whole when anything fails. Throws
    // EIniFileException("Unable to write to <file>") on failure. Does nothing when no
    // value was changed since the file was read or last written.
    void UpdateFile();

    // The file's text as UpdateFile would write it.
    std::string Text() const;

private:
    struct TLine {
        std::string Text;  // without its line end
        std::string Eol;   // "\n", "\r\n", or empty for a last line without one
    };
    // Index of the header line of the first section named `section`, or -1.
    int FindSection(const std::string& section) const;
    // Index of the first "key=" line of the section whose header is at `header`, or -1.
    int FindKey(int header, const std::string& key) const;
    // One past the last line that belongs to the section (the next header or the end).
    int SectionEnd(int header) const;
    // Puts `line` before the line at `at` (or at the end), keeping the section index.
    void InsertLine(int at, TLine line);
    void IndexHeader(int at, const std::string& name);

    std::string FFileName;
    std::vector<TLine> FLines;
    // The section index, so that a lookup does not read the whole file: the lines that
    // are section headers in file order, and the first header of each name (folded to
    // lower case).
    std::vector<int> FHeaders;
    std::unordered_map<std::string, int> FFirstHeader;
    std::string FBom;
    std::string FNewLine = "\n";  // for added lines: the file's own line end
    bool FModified = false;
    bool FUnreadable = false;  // the file exists but could not be read
};

// Integer reading shared with the tests: the rules of TIniFile::ReadInteger.
bool TryParseIniInteger(const std::string& text, int& value);

}  // namespace kv::workflow
