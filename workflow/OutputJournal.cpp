#include "workflow/OutputJournal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sys/stat.h>

#include "workflow/SavedText.h"

namespace kv::workflow {

namespace {

bool WriteAll(int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

bool TOutputJournal::Append(const std::string& text)
{
    const int fd = ::open(FPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
        FLastError = "Could not write '" + FPath + "': " + std::strerror(errno);
        return false;
    }
    // On disk before the engine creates anything: a power cut must not lose the record.
    const bool ok = WriteAll(fd, text) && ::fdatasync(fd) == 0;
    if (!ok) FLastError = "Could not write '" + FPath + "': " + std::strerror(errno);
    ::close(fd);
    return ok;
}

bool TOutputJournal::Record(const std::vector<TJournalEntry>& entries)
{
    if (entries.empty()) return true;
    std::string text;
    for (const TJournalEntry& e : entries) text += JoinFields({"+", e.Output, e.Source});
    std::lock_guard lock(FLock);
    if (!Append(text)) return false;
    FOpen += static_cast<int>(entries.size());
    return true;
}

bool TOutputJournal::StrikeOff(const std::string& output, bool succeeded, const std::string& final)
{
    std::lock_guard lock(FLock);
    if (!Append(JoinFields({"-", output, succeeded ? "1" : "0", final}))) return false;
    if (FOpen > 0) --FOpen;
    return true;
}

void TOutputJournal::CloseIfDone()
{
    std::lock_guard lock(FLock);
    if (FOpen == 0) ::unlink(FPath.c_str());
}

TJournalRecovery TOutputJournal::Recover()
{
    std::lock_guard lock(FLock);
    TJournalRecovery r;
    std::ifstream in(FPath, std::ios::binary);
    if (!in) return r;
    // Output -> its source, in the order recorded; a later record of the same output wins.
    std::map<std::string, TJournalEntry> open;
    std::vector<std::string> order;
    std::string line;
    while (std::getline(in, line)) {
        const std::vector<std::string> f = SplitFields(line);
        // A line cut short by the kill reads as nothing.
        if (f.size() == 3 && f[0] == "+") {
            if (!open.count(f[1])) order.push_back(f[1]);
            open[f[1]] = {f[1], f[2]};
        } else if (f.size() == 4 && f[0] == "-") {
            const auto it = open.find(f[1]);
            if (it == open.end()) continue;
            if (f[2] == "1") r.Completed.push_back({f[3], it->second.Source});
            open.erase(it);
        }
    }
    in.close();
    for (const std::string& output : order) {
        const auto it = open.find(output);
        if (it == open.end()) continue;
        struct stat st{};
        // Only a plain file is ever an output; a folder or device of that name is not ours.
        if (::lstat(output.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::unlink(output.c_str()) != 0)
            r.Failures.push_back("Could not remove '" + output + "': " + std::strerror(errno));
        r.Interrupted.push_back(it->second);
    }
    ::unlink(FPath.c_str());
    FOpen = 0;
    return r;
}

std::string TOutputJournal::LastError() const
{
    std::lock_guard lock(FLock);
    return FLastError;
}

int TOutputJournal::OpenCount() const
{
    std::lock_guard lock(FLock);
    return FOpen;
}

}  // namespace kv::workflow
