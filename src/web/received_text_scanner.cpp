#include "web/received_text_scanner.h"

#include <cstring>

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool isPrefixOfKeyword(const std::string& text)
{
    for (const char* word : {"true", "false", "null"}) {
        if (text.size() <= std::strlen(word) && std::strncmp(word, text.c_str(), text.size()) == 0)
            return true;
    }
    return false;
}

} // namespace

void ReceivedTextScanner::feed(const char* data, size_t length)
{
    for (size_t i = 0; i < length; ++i) {
        const char c = data[i];
        if (!sawFirstCharacter && !isBlank(c)) {
            sawFirstCharacter = true;
            commentInFront = c == '/';
        }
        if (first == First::Literal) {
            if (!literalHopeless) {
                literal += c;
                literalHopeless = !isPrefixOfKeyword(literal);
            }
            continue;
        }
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
            if (!inString && first == First::String)
                closed = true;
            continue;
        }
        if (inLineComment) {
            inLineComment = c != '\n';
            continue;
        }
        if (inBlockComment) {
            if (pendingStar && c == '/')
                inBlockComment = false;
            pendingStar = c == '*';
            continue;
        }
        if (pendingSlash) {
            pendingSlash = false;
            if (c == '/' || c == '*') {
                inLineComment = c == '/';
                inBlockComment = c == '*';
                pendingStar = false;
                continue;
            }
            feedOutsideComment('/');
            if (first == First::Literal) {
                // The slash began a literal; this character is the literal's next.
                if (!literalHopeless) {
                    literal += c;
                    literalHopeless = !isPrefixOfKeyword(literal);
                }
                continue;
            }
        }
        if (c == '/') {
            pendingSlash = true;
            continue;
        }
        feedOutsideComment(c);
    }
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
            literal = c;
            literalHopeless = !isPrefixOfKeyword(literal);
        }
        return;
    }
    // Once the outer value has closed, what follows cannot change the verdict.
    if (closed)
        return;
    if (c == '"') {
        inString = true;
    } else if (c == '{' || c == '[') {
        open.push_back(c);
    } else if (c == '}' || c == ']') {
        if (open.empty() || (c == '}') != (open.back() == '{')) {
            mismatched = true;
            closed = true;
            return;
        }
        open.pop_back();
        if (open.empty())
            closed = true;
    }
}

bool ReceivedTextScanner::mayParse() const
{
    switch (first) {
    case First::Nothing: return false;
    case First::Structure:
    case First::String: return closed;
    case First::Literal: return true;
    }
    return true;
}

bool ReceivedTextScanner::hopeless() const
{
    if (commentInFront)
        return false;
    switch (first) {
    case First::Structure: return closed || mismatched;
    // Only an unescaped quote closes a string.
    case First::String: return closed;
    case First::Literal: return literalHopeless;
    case First::Nothing: return false;
    }
    return false;
}

bool cannotBecomeValidJson(const std::string& text)
{
    ReceivedTextScanner scanner;
    scanner.feed(text.data(), text.size());
    return scanner.hopeless();
}
