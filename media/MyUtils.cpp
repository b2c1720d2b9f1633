#include "media/MyUtils.h"

#include <sys/stat.h>

namespace kv::media {

std::int64_t GetFileSizeByName(const std::string& fileName)
{
    struct stat st{};
    if (fileName.empty() || ::stat(fileName.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return -1;
    return static_cast<std::int64_t>(st.st_size);
}

std::string SplitFirst(std::string& source, const std::string& delimiter, bool remove)
{
    const std::size_t at = delimiter.empty() ? std::string::npos : source.find(delimiter);
    if (at == std::string::npos) {
        std::string all = source;
        if (remove) source.clear();
        return all;
    }
    std::string head = source.substr(0, at);
    if (remove) source.erase(0, at + delimiter.size());
    return head;
}

std::string Trim(const std::string& text)
{
    auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    std::string::size_type first = 0, last = text.size();
    while (first < last && blank(text[first])) ++first;
    while (last > first && blank(text[last - 1])) --last;
    return text.substr(first, last - first);
}

std::string TrimSpacesAndTabs(const std::string& text)
{
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    const std::size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

}  // namespace kv::media
