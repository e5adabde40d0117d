// The trace log as tests read it: records with their level and message, so that a test says that
// a record of the right level naming a file, an address or a code was written, not its wording.
#pragma once

#include "common/trace.h"
#include "test_folder.h"

#include <cctype>
#include <cstddef>
#include <sstream>
#include <string>
#include <vector>

namespace velin::test {

struct Trace_record {
    int level = 0;
    std::string message; // without time, thread and indentation; later lines of the record included
};

// Where the newest record of the log's content ends: the next record is written there.
inline std::size_t trace_end(const std::string& content)
{
    const std::size_t marker = content.find("\n\n<<<<< FINE DEL FILE DI LOG");
    return marker == std::string::npos ? content.size() : marker;
}

// A mark of the log now: the records written after it are the ones from there on.
inline std::size_t trace_mark()
{
    return trace_end(trace_content());
}

// The records of a log's content (this process's or another program's), oldest first; given a
// mark, only those written since.
inline std::vector<Trace_record> trace_records_in(const std::string& content, std::size_t since = 0)
{
    const std::size_t end = trace_end(content);
    std::vector<Trace_record> records;
    // A test writes far less than a turn of the ring; after a turn, the whole log is read.
    const std::size_t from = since <= end ? since : 0;
    std::istringstream lines(content.substr(from, end - from));
    for (std::string line; std::getline(lines, line);) {
        // "dd/mm/yyyy hh:mm:ss,mmm" and the thread, then the level's label of seven characters.
        std::size_t at = 23;
        const bool record = line.size() > at && line[2] == '/' && line[5] == '/' && line[19] == ',';
        int level = 0;
        if (record) {
            while (at < line.size() && line[at] == ' ')
                ++at;
            while (at < line.size() && std::isdigit(static_cast<unsigned char>(line[at])))
                ++at;
            at += 1; // the space after the thread
            for (int candidate = Level_trace; candidate <= Level_fatal && !level; ++candidate)
                if (line.compare(at, 7, trace_level_label(candidate)) == 0)
                    level = candidate;
        }
        if (level) {
            const std::size_t text = line.find_first_not_of(' ', at + 7);
            records.push_back({level, text == std::string::npos ? std::string() : line.substr(text)});
        } else if (!records.empty()) {
            records.back().message += "\n" + line;
        }
    }
    return records;
}

inline std::vector<Trace_record> trace_records(std::size_t since = 0)
{
    return trace_records_in(trace_content(), since);
}

// For a count over the records of every level.
constexpr int Any_level = 0;

// How many records of the level, written since the mark, name every one of the parts (a file, an
// address, a code, or the one word that tells what the record is about).
inline std::size_t count_traced(int level, const std::vector<std::string>& parts, std::size_t since = 0)
{
    std::size_t count = 0;
    for (const Trace_record& record : trace_records(since)) {
        bool names_all = level == Any_level || record.level == level;
        for (const std::string& part : parts)
            names_all = names_all && record.message.find(part) != std::string::npos;
        count += names_all ? 1 : 0;
    }
    return count;
}

inline bool traced(int level, const std::vector<std::string>& parts, std::size_t since = 0)
{
    return count_traced(level, parts, since) > 0;
}

// Whether the text (a PIN, a password, a holder's data) stands anywhere in the log.
inline bool in_trace(const std::string& text)
{
    return trace_content().find(text) != std::string::npos;
}

} // namespace velin::test
