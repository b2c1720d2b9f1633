// The input file list: owning, ordered, and refusing bad indexes without change.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "workflow/InputFileList.h"
#include "workflow/ListError.h"

using namespace kv::workflow;

namespace {

// A list of records named by the letters of `names`.
void Fill(TInputFileList& list, const std::string& names)
{
    for (char c : names) {
        auto f = std::make_unique<TInputFile>();
        f->FileName = std::string(1, c);
        list.Add(std::move(f));
    }
}

std::string Names(const TInputFileList& list)
{
    std::string s;
    for (int i = 0; i < list.Count(); ++i) s += list.Items(i).FileName;
    return s;
}

}  // namespace

TEST(InputFileList, NewRecordDefaults)
{
    const TInputFile f;
    EXPECT_EQ(f.TrimStart, -1);
    EXPECT_EQ(f.AspectIndex, 0);
    EXPECT_EQ(f.Status, 0);
}

TEST(InputFileList, Operations)
{
    const struct { const char* What; void (*Op)(TInputFileList&); const char* After; } cases[] = {
        {"add returns index", [](TInputFileList& l) { EXPECT_EQ(l.Add(std::make_unique<TInputFile>()), 3); }, "abc"},
        {"exchange", [](TInputFileList& l) { l.Exchange(0, 2); }, "cba"},
        {"exchange same index", [](TInputFileList& l) { l.Exchange(1, 1); }, "abc"},
        {"delete first", [](TInputFileList& l) { l.Delete(0); }, "bc"},
        {"delete last", [](TInputFileList& l) { l.Delete(2); }, "ab"},
        {"clear", [](TInputFileList& l) { l.Clear(); }, ""},
        {"edit in place", [](TInputFileList& l) { l.Items(1).FileName = "B"; }, "aBc"},
    };
    for (const auto& c : cases) {
        TInputFileList list;
        Fill(list, "abc");
        c.Op(list);
        // The record added by "add returns index" has no name, so it does not show.
        EXPECT_EQ(Names(list), c.After) << c.What;
    }
}

TEST(InputFileList, BadIndexesThrowAndChangeNothing)
{
    TInputFileList list;
    Fill(list, "abc");
    const struct { void (*Op)(TInputFileList&); int Index; } cases[] = {
        {[](TInputFileList& l) { l.Items(3); }, 3},
        {[](TInputFileList& l) { l.Items(-1); }, -1},
        {[](TInputFileList& l) { l.Delete(3); }, 3},
        {[](TInputFileList& l) { l.Exchange(0, 5); }, 5},
        {[](TInputFileList& l) { l.Exchange(-2, 0); }, -2},
    };
    for (const auto& c : cases) {
        try {
            c.Op(list);
            ADD_FAILURE() << "no error for index " << c.Index;
        } catch (const EListError& e) {
            EXPECT_EQ(std::string(e.what()), "List index out of bounds (" + std::to_string(c.Index) + ")");
        }
        EXPECT_EQ(Names(list), "abc");
    }
    TInputFileList empty;
    empty.Clear();
    EXPECT_EQ(empty.Count(), 0);
    EXPECT_THROW(empty.Delete(0), EListError);
}

// Records left unreleased show up in the sanitizer build's leak report.
TEST(InputFileList, ExchangeMovesTheRecordsThemselves)
{
    TInputFileList list;
    Fill(list, "abcd");
    TInputFile* second = &list.Items(1);
    list.Exchange(1, 3);
    EXPECT_EQ(&list.Items(3), second);
    list.Delete(0);
    EXPECT_EQ(&list.Items(2), second);
    EXPECT_EQ(list.Count(), 3);
}
