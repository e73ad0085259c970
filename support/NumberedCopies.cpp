#include "support/NumberedCopies.h"

#include <cstring>
#include <iterator>

#include "platform/Time.h"

void SplitLogFileName(const char* path, std::string& base, std::string& extension) {
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\' || *p == ':')
            name = p + 1;
    }
    const char* dot = std::strrchr(name, '.');
    base.assign(name, dot != nullptr ? dot : name + std::strlen(name));
    extension.assign(dot != nullptr ? dot : "");
    if (base.size() > 255)
        base.resize(255);
    if (extension.size() > 255)
        extension.resize(255);
}

NumberedCopies::NumberedCopies(std::string folder, const std::string& path)
    : m_folder(std::move(folder)) {
    SplitLogFileName(path.c_str(), m_base, m_extension);
}

std::string NumberedCopies::NameOf(int number) const {
    std::string name = m_folder.empty() ? std::string() : m_folder + "/";
    name += m_base;
    name += '(';
    name += std::to_string(number);
    name += ')';
    name += m_extension;
    return name;
}

int NumberedCopies::NumberIn(const std::string& name) const {
    const size_t prefix = m_base.size() + 1;
    const size_t suffix = m_extension.size() + 1;
    if (name.size() <= prefix + suffix - 1 || name.compare(0, m_base.size(), m_base) != 0 ||
        name[m_base.size()] != '(' ||
        name.compare(name.size() - m_extension.size(), m_extension.size(), m_extension) != 0 ||
        name[name.size() - suffix] != ')')
        return 0;
    // Only the digits "(%d)" writes for a positive number: no sign, no leading zero.
    const size_t digitsEnd = name.size() - suffix;
    if (digitsEnd - prefix > 9 || name[prefix] == '0')
        return 0;
    int number = 0;
    for (size_t i = prefix; i < digitsEnd; ++i) {
        if (name[i] < '0' || name[i] > '9')
            return 0;
        number = number * 10 + (name[i] - '0');
    }
    return number;
}

int NumberedCopies::FirstFree() {
    Update();
    if (m_runs.empty() || m_runs.begin()->first > 1)
        return 1;
    return m_runs.begin()->second + 1;
}

int NumberedCopies::Count() {
    Update();
    return static_cast<int>(m_ageOf.size());
}

int NumberedCopies::Oldest() {
    Update();
    LoadAges();
    return m_byAge.empty() ? 0 : m_byAge.begin()->second;
}

void NumberedCopies::Made(int number, std::int64_t fileTime) {
    Drop(number);
    Add(number, fileTime, true);
}

void NumberedCopies::Taken(int number) {
    std::int64_t age = 0;
    const bool known = m_agesKnown && platform::ModificationTime(NameOf(number), age);
    Drop(number);
    Add(number, age, known);
}

void NumberedCopies::Removed(int number) {
    Drop(number);
}

void NumberedCopies::Add(int number, std::int64_t fileTime, bool ageKnown) {
    if (number <= 0)
        return;
    m_ageOf[number] = fileTime;
    if (m_agesKnown && ageKnown)
        m_byAge.insert({fileTime, number});
    else if (m_agesKnown)
        m_agesKnown = false;  // load them all again when asked
    MarkUsed(number);
}

void NumberedCopies::MarkUsed(int number) {
    auto next = m_runs.upper_bound(number);
    if (next != m_runs.begin()) {
        auto run = std::prev(next);
        if (run->second >= number)
            return;  // already in a run
        if (run->second == number - 1) {
            run->second = number;
            if (next != m_runs.end() && next->first == number + 1) {
                run->second = next->second;
                m_runs.erase(next);
            }
            return;
        }
    }
    if (next != m_runs.end() && next->first == number + 1) {
        const int last = next->second;
        m_runs.erase(next);
        m_runs[number] = last;
        return;
    }
    m_runs[number] = number;
}

void NumberedCopies::MarkFree(int number) {
    auto next = m_runs.upper_bound(number);
    if (next == m_runs.begin())
        return;
    auto run = std::prev(next);
    const int first = run->first;
    const int last = run->second;
    if (last < number)
        return;
    m_runs.erase(run);
    if (first < number)
        m_runs[first] = number - 1;
    if (number < last)
        m_runs[number + 1] = last;
}

void NumberedCopies::Drop(int number) {
    const auto found = m_ageOf.find(number);
    if (found == m_ageOf.end())
        return;
    m_byAge.erase({found->second, number});
    m_ageOf.erase(found);
    MarkFree(number);
}

// Brings the picture up to date: the folder's changes since the last question, or a fresh
// listing when the folder is another one now or the changes are incomplete.
void NumberedCopies::Update() {
    platform::FileIdentity folder;
    if (!platform::FolderIdentity(m_folder, folder)) {
        m_known = false;
        return;
    }
    if (m_known && folder == m_folderIdentity && m_watch.IsWatching() &&
        m_watch.TakeChanges(m_changes)) {
        for (const auto& change : m_changes) {
            const int number = NumberIn(change.name);
            if (number == 0)
                continue;
            if (change.removed)
                Drop(number);
            else if (m_ageOf.count(number) == 0)
                Taken(number);
        }
        return;
    }
    m_folderIdentity = folder;
    // Watch before listing, so nothing that happens in between is missed.
    m_watch.Start(m_folder);
    ListAll();
    m_known = true;
}

void NumberedCopies::ListAll() {
    m_ageOf.clear();
    m_byAge.clear();
    m_runs.clear();
    m_agesKnown = false;
    std::vector<std::string> names;
    platform::ListFolder(m_folder, names);
    for (const std::string& name : names) Add(NumberIn(name), 0, false);
}

// Ages are read only when a decision needs them (a copy limit, a full disk): one look at
// each copy, once.
void NumberedCopies::LoadAges() {
    if (m_agesKnown)
        return;
    m_byAge.clear();
    for (auto& [number, age] : m_ageOf) {
        if (!platform::ModificationTime(NameOf(number), age))
            age = 0;
        m_byAge.insert({age, number});
    }
    m_agesKnown = true;
}
