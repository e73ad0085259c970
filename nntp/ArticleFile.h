#pragma once
// A connection's temporary output file. Every failure is a false result; nothing else is
// reported. The name is relative: the file lands in the current directory.
#include <string>

#include "platform/Files.h"

class ArticleFile {
public:
    ArticleFile() = default;
    // Closes the file; does not delete it.
    virtual ~ArticleFile();
    ArticleFile(const ArticleFile&) = delete;
    ArticleFile& operator=(const ArticleFile&) = delete;

    // Opens name for writing (an empty name: false, nothing changes). A handle that was
    // still open is closed first (not deleted).
    bool Open(std::string name, DWORD shareMode, DWORD creationDisposition);
    // One write of count bytes; false with no open file.
    bool Write(const void* bytes, DWORD count);
    // True with no open file; on failure the handle is kept.
    bool Close();
    // Deletes the file last opened (true when there is none) and forgets its name.
    // Does not close: callers call Close first.
    bool Delete();

    bool IsOpen() const { return m_hFile != INVALID_HANDLE_VALUE; }
    const std::string& Name() const { return m_name; }

private:
    std::string m_name;
    HANDLE m_hFile = INVALID_HANDLE_VALUE;
};
