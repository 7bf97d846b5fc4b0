// Reader of key=value text files such as the configuration file.
//
// File syntax: lines of at most 1023 characters (a longer line is read in
// pieces, each piece treated as a line of its own). A line is split at its first
// "="; the key is the text before it and the value the text after it, each with
// leading and trailing blanks, tabs, carriage returns and line feeds removed. A
// line without "=", or with an empty key or value, is ignored. No comments, no
// quoting, no sections. Keys are case-sensitive; the last occurrence wins.
#pragma once

#include <map>
#include <set>
#include <string>

class Properties {
public:
    // Reads the file; false, with no properties, when it cannot be opened.
    bool load(const std::string& path);

    // true and `out` := the value when present; false and `out` := "" otherwise.
    bool getString(const std::string& key, std::string& out) const;
    // `out` := 0; when the key is present, `out` := its value read as a signed
    // decimal number the way strtol reads it (leading blanks skipped, reading
    // stops at the first character that is not part of the number, no number
    // reads as 0, out-of-range values saturate), and true.
    bool getInt(const std::string& key, long& out) const;

    // True when the key appears only with empty values ("cache ="): such
    // lines give no value, but a key may give them a meaning of their own.
    bool isGivenEmpty(const std::string& key) const;

    // Applies one line of the file; exposed for the parser's own tests.
    void parseLine(const std::string& line);
    std::size_t size() const noexcept { return values.size(); }

private:
    std::map<std::string, std::string> values;
    std::set<std::string> emptyKeys;
};
