#pragma once
// Pictures of the screens straight from a wlroots compositor (sway,
// Hyprland, river, labwc, Wayfire), through its screen copy protocol
// (zwlr_screencopy_manager_v1) on a Wayland connection of our own: the
// compositor copies each output into shared memory of this process. No
// file, no other process: the picture never leaves memory.
//
// Each output's logical place comes from xdg-output (the coordinates Qt
// and XWayland use); its picture is in the output's own pixels, turned as
// the output is turned.

#include "platform/windowserver/frozen_frame.h"

#include <QString>

// Whether the compositor of $WAYLAND_DISPLAY offers what a capture needs
// (screen copy, shared memory, xdg-output); `problem` says what lacks. Blocks
// for one round trip; any thread.
bool screencopyOffered(QString *problem = nullptr);

struct ScreencopyPicture {
    // Every output side by side at the highest output scale (null on
    // failure), and where each output lies in it.
    QImage picture;
    QList<FrozenScreen> screens;
    QString problem;
};

// One picture of every output, taken now, without the pointer. Blocks at
// most `timeoutMs`; any thread.
ScreencopyPicture captureOutputs(int timeoutMs = 5000);
