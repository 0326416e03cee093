#include "web/received_text_scanner.h"

#include <cstring>

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool isProperPrefixOfKeyword(const std::string& text)
{
    for (const char* word : {"true", "false", "null"}) {
        if (text.size() < std::strlen(word) && std::strncmp(word, text.c_str(), text.size()) == 0)
            return true;
    }
    return false;
}

} // namespace

void ReceivedTextScanner::feed(const char* data, size_t length)
{
    // Once settled, what follows cannot change the verdict.
    for (size_t i = 0; i < length && !isSettled; ++i) {
        const char c = data[i];
        if (first == First::Literal) {
            feedLiteral(c);
            continue;
        }
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
            // A string at the top closes with its quote.
            isSettled = !inString && first == First::String;
            continue;
        }
        if (inLineComment) {
            // The reader ends a line comment at either line end.
            inLineComment = c != '\n' && c != '\r';
            continue;
        }
        if (inBlockComment) {
            inBlockComment = !(pendingStar && c == '/');
            pendingStar = c == '*';
            continue;
        }
        if (pendingSlash) {
            pendingSlash = false;
            inLineComment = c == '/';
            inBlockComment = c == '*';
            pendingStar = false;
            // Anywhere outside a string, a '/' that begins no comment is an error of the reader.
            isSettled = !inLineComment && !inBlockComment;
            continue;
        }
        if (c == '/') {
            pendingSlash = true;
            continue;
        }
        feedOutsideComment(c);
    }
}

void ReceivedTextScanner::feedLiteral(char c)
{
    literal += c;
    isSettled = !isProperPrefixOfKeyword(literal);
}

void ReceivedTextScanner::feedOutsideComment(char c)
{
    if (first == First::Nothing) {
        if (isBlank(c))
            return;
        if (c == '{' || c == '[') {
            first = First::Structure;
            open.push_back(c);
        } else if (c == '"') {
            first = First::String;
            inString = true;
        } else {
            first = First::Literal;
            feedLiteral(c);
        }
        return;
    }
    if (c == '"') {
        inString = true;
    } else if (c == '{' || c == '[') {
        open.push_back(c);
    } else if (c == '}' || c == ']') {
        const bool matches = (c == '}') == (open.back() == '{');
        open.pop_back();
        // The outer bracket closes the value; a bracket of the other kind than the one open can never parse.
        isSettled = !matches || open.empty();
    }
}
