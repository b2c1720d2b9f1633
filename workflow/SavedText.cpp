#include "workflow/SavedText.h"

#include <QSaveFile>
#include <QString>

namespace kv::workflow {

namespace {

void AppendEscaped(std::string& out, const std::string& field)
{
    for (const char c : field) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        default: out += c;
        }
    }
}

template <class Fields>
std::string Join(const Fields& fields)
{
    std::string line;
    bool first = true;
    for (const std::string& f : fields) {
        if (!first) line += '\t';
        first = false;
        AppendEscaped(line, f);
    }
    line += '\n';
    return line;
}

}  // namespace

std::string JoinFields(std::initializer_list<std::string> fields)
{
    return Join(fields);
}

std::string JoinFields(const std::vector<std::string>& fields)
{
    return Join(fields);
}

std::vector<std::string> SplitFields(const std::string& line)
{
    std::vector<std::string> fields(1);
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '\t') {
            fields.emplace_back();
        } else if (c == '\\' && i + 1 < line.size()) {
            const char e = line[++i];
            fields.back() += e == 't' ? '\t' : e == 'n' ? '\n' : e == 'r' ? '\r' : e;
        } else if (c != '\r') {
            fields.back() += c;
        }
    }
    return fields;
}

bool WriteFileAtomically(const std::string& path, const std::string& text, std::string& reason)
{
    QSaveFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::WriteOnly)) {
        reason = "Could not write '" + path + "': " + file.errorString().toStdString();
        return false;
    }
    if (file.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size()) || !file.commit()) {
        reason = "Could not write '" + path + "': " + file.errorString().toStdString();
        file.cancelWriting();
        return false;
    }
    return true;
}

}  // namespace kv::workflow
