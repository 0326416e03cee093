#pragma once

#include <cstddef>
#include <string>

// Follows an editor's received text as it grows, one piece at a time, and tells without reading it again whether
// a parse may succeed yet and whether any text appended could still make it one JSON document. What a piece costs
// is proportional to the piece, not to the text held before it. Owned by the connection state of its editor; reset
// whenever that text is cleared.
class ReceivedTextScanner {
public:
    void feed(const char* data, size_t length);
    void reset() { *this = ReceivedTextScanner(); }

    // False only when parsing the text now must fail: an object, array or string that has not closed, or nothing
    // but blanks and comments.
    bool mayParse() const;
    // True when no text appended can make it a valid JSON document (once the outer value has closed, or its
    // brackets do not match; a comment in front keeps every hope).
    bool hopeless() const;

private:
    enum class First { Nothing, Structure, String, Literal };

    void feedOutsideComment(char c);

    First first = First::Nothing;
    // The text begins with a '/': a comment may precede the value, so no appended text is ruled out.
    bool commentInFront = false;
    bool sawFirstCharacter = false;
    // Brackets still open, innermost last.
    std::string open;
    bool inString = false;
    bool escaped = false;
    bool inLineComment = false;
    bool inBlockComment = false;
    // A '/' that may begin a comment, and a '*' that may end one.
    bool pendingSlash = false;
    bool pendingStar = false;
    bool closed = false;
    bool mismatched = false;
    // For a text that begins with neither bracket nor quote: the text so far, while it may still become true, false
    // or null.
    std::string literal;
    bool literalHopeless = false;
};

// True when no text appended to this one can make it a valid JSON document.
bool cannotBecomeValidJson(const std::string& text);
