// What the recording session has to tell the user: one value per kind of
// failure. The window has the texts it shows for them (main_dlg.cpp).
#pragma once

#include <windows.h>

enum class SessionError {
    None,
    // A recording's file is not whole: a write or its close failed (the
    // disk is full, the folder went away), or a stalled disk lost sound.
    Write,
    // A recording could not begin: no file could be made in the folder, or
    // the encoder refused the capture's format.
    EncoderOpen,
    // ... because the file's path is too long for the system.
    PathTooLong,
    // The capture could not be opened, or was lost and could not be had back.
    Capture,
    // ... because the system's privacy settings keep the program from the
    // microphone: the user can allow it there.
    MicrophoneDenied,
};
