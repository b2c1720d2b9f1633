#include "workflow/InputFileList.h"

#include <stdexcept>
#include <utility>

#include "workflow/ListError.h"

namespace kv::workflow {

TInputFileList::~TInputFileList()
{
    Clear();
}

void TInputFileList::Check(int index) const
{
    if (index < 0 || index >= Count()) throw EListError(index);
}

int TInputFileList::Add(std::unique_ptr<TInputFile> file)
{
    if (!file) throw std::invalid_argument("TInputFileList::Add: no record");
    FItems.push_back(std::move(file));
    return Count() - 1;
}

TInputFile& TInputFileList::Items(int index)
{
    Check(index);
    return *FItems[static_cast<std::size_t>(index)];
}

const TInputFile& TInputFileList::Items(int index) const
{
    Check(index);
    return *FItems[static_cast<std::size_t>(index)];
}

void TInputFileList::Exchange(int index1, int index2)
{
    Check(index1);
    Check(index2);
    std::swap(FItems[static_cast<std::size_t>(index1)], FItems[static_cast<std::size_t>(index2)]);
}

void TInputFileList::Delete(int index)
{
    Check(index);
    FItems.erase(FItems.begin() + index);
}

int TInputFileList::IndexOfSameFile(const std::string& path) const
{
    const platform::TFileIdentity identity = platform::FileIdentityOf(path);
    for (int i = 0; i < Count(); ++i) {
        const TInputFile& f = *FItems[static_cast<std::size_t>(i)];
        // A path that names nothing on disk (any longer) is only itself.
        const bool same = identity.Known && f.Identity.Known ? identity == f.Identity : path == f.FileName;
        if (same) return i;
    }
    return -1;
}

void TInputFileList::Clear()
{
    // Last to first, as the records were stacked up.
    while (!FItems.empty()) FItems.pop_back();
}

}  // namespace kv::workflow
