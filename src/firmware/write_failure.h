#pragma once

// Why a firmware write was refused or ended before the board finished it. The editor knows each by its reply key,
// the log by its words.
enum class WriteFailure {
    FileNotFound,
    FileCantOpen,
    FileEmpty,
    FileTooLarge,
    FileReadError,
    WriteInProgress,
    NeedsBootloader,
    VerifyError,
    Cancelled,
};

// The member that carries the failure's detail in the reply ("firmwareFileVerifyError").
const char* replyKey(WriteFailure failure);
// What the failure means, for the log ("the board did not take the image as sent").
const char* failureWords(WriteFailure failure);
