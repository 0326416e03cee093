#include "firmware/write_failure.h"

namespace {

struct FailureText {
    WriteFailure failure;
    const char* key;
    const char* words;
};

constexpr FailureText failureTexts[] = {
    {WriteFailure::FileNotFound, "firmwareFileNotFound", "no such firmware file in the working directory"},
    {WriteFailure::FileCantOpen, "firmwareFileCantOpen", "the firmware file cannot be read"},
    {WriteFailure::FileEmpty, "firmwareFileEmpty", "the firmware file is empty"},
    {WriteFailure::FileTooLarge, "firmwareFileTooLarge", "the firmware file is larger than the board's flash"},
    {WriteFailure::FileReadError, "firmwareFileReadError", "the firmware file ended early while it was read"},
    {WriteFailure::WriteInProgress, "firmwareWriteInProgress", "a write of this board is running already"},
    {WriteFailure::NeedsBootloader, "firmwareNeedsBootloader", "the board is not in its bootloader"},
    {WriteFailure::VerifyError, "firmwareFileVerifyError", "the board did not take the image as sent"},
    {WriteFailure::Cancelled, "firmwareWriteCancelled", "cancelled"},
};

const FailureText& textOf(WriteFailure failure)
{
    for (const FailureText& text : failureTexts) {
        if (text.failure == failure)
            return text;
    }
    return failureTexts[0];
}

} // namespace

const char* replyKey(WriteFailure failure) { return textOf(failure).key; }

const char* failureWords(WriteFailure failure) { return textOf(failure).words; }
