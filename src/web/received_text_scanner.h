#pragma once

#include <cstddef>
#include <string>

// Follows an editor's received text as it grows, one piece at a time, and tells without reading it again when a
// parse of it gives a verdict that no appended text can change. Strings and comments are told apart as the JSON
// reader tells them apart, so that the brackets it counts are the reader's. What a piece costs is proportional to
// the piece, not to the text held before it. Owned by the connection state of its editor; reset whenever that text
// is cleared.
class ReceivedTextScanner {
public:
    void feed(const char* data, size_t length);
    void reset() { *this = ReceivedTextScanner(); }

    // True once the outer value has closed (the reader ignores what follows it), or the text can never become an
    // object (a bracket of the wrong kind, a '/' that begins no comment, anything but a bracket or quote that is
    // no unfinished true, false or null). False while there are only blanks and comments, or an object, array,
    // string or keyword that has not closed.
    bool settled() const { return isSettled; }

private:
    enum class First { Nothing, Structure, String, Literal };

    void feedOutsideComment(char c);
    void feedLiteral(char c);

    First first = First::Nothing;
    bool isSettled = false;
    // Brackets still open, innermost last; holds the outer one until the value closes.
    std::string open;
    bool inString = false;
    bool escaped = false;
    bool inLineComment = false;
    bool inBlockComment = false;
    // A '/' that may begin a comment, and a '*' that may end one.
    bool pendingSlash = false;
    bool pendingStar = false;
    // For a text that begins with neither bracket nor quote: the text so far, while it may still become true, false
    // or null.
    std::string literal;
};
