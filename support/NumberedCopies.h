#pragma once
// The numbered copies "base(n).ext" of a rotated log in one folder: which number the next
// copy takes (the first free one, so a deleted copy's number is used again), how many there
// are and which is the oldest. The folder is listed once; after that a folder watch reports
// the names that come and go, so finding the next number costs the same with ten thousand
// copies as with none. Without a watch (or after it lost changes) the folder is listed again.
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/LogFiles.h"

class NumberedCopies {
public:
    // folder "" is the working folder; path is the log's name, e.g. "log.txt".
    NumberedCopies(std::string folder, const std::string& path);

    // The first number with no copy.
    int FirstFree();
    // Number of copies and the oldest by modification time (lowest number among equals);
    // 0 when there is none.
    int Count();
    int Oldest();

    // The copy's name with the folder, for n.
    std::string NameOf(int number) const;
    // What the caller did: made (or replaced) copy n just now, found n taken, removed n.
    void Made(int number, std::int64_t fileTime);
    void Taken(int number);
    void Removed(int number);

    // Forgets everything: the next question lists the folder again.
    void Forget() { m_known = false; }

    // The number in a copy's name ("log(12).txt" -> 12), or 0 for any other name.
    int NumberIn(const std::string& name) const;

private:
    void Update();
    void ListAll();
    void LoadAges();
    void Add(int number, std::int64_t fileTime, bool ageKnown);
    void Drop(int number);

    std::string m_folder;
    std::string m_base;
    std::string m_extension;
    bool m_known = false;
    bool m_agesKnown = false;
    platform::FileIdentity m_folderIdentity;
    platform::FolderWatch m_watch;
    std::vector<platform::FolderWatch::Change> m_changes;

    void MarkUsed(int number);
    void MarkFree(int number);

    // Numbers in use with their ages, and the same numbers as runs of consecutive numbers
    // (first -> last), so the first free number is found without walking the copies.
    std::map<int, std::int64_t> m_ageOf;
    std::set<std::pair<std::int64_t, int>> m_byAge;
    std::map<int, int> m_runs;
};

// Splits "dir/base.ext" into base and ".ext" (each cut to 255 characters); the folder is
// dropped.
void SplitLogFileName(const char* path, std::string& base, std::string& extension);
