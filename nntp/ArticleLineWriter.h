#pragma once
// Gathers the text lines one step takes from the receive buffer and hands them to the article
// file in one write, instead of one write per line. The file ends up with the same bytes in the
// same order: a step flushes before it hands on or waits, so everything it took is in the file
// by then. Each connection has its own.
#include <cstddef>

#include "nntp/ArticleFile.h"
#include "nntp/LineLimits.h"

class ArticleLineWriter {
public:
    // Starts a batch for file; with enabled false the batch's lines are dropped.
    void Begin(ArticleFile& file, bool enabled);
    // Adds a line from ReadLine as the server meant it: a leading doubled dot loses its
    // first dot.
    void Add(const char* line);
    void Flush();

private:
    ArticleFile* m_file = nullptr;
    bool m_enabled = false;
    std::size_t m_used = 0;
    char m_buffer[2 * kReceiveBufferSize];  // every line fits: they are cut at kMaxLineLength
};
