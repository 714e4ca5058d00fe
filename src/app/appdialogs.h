// The boxes every window shares: the error box that shows a failure which
// ended a handler, the input box, and the conversion between the windows'
// text and the network stack's 8-bit text.
#pragma once

#include <QString>
#include <functional>
#include <string>

// When set, the error box's message goes here instead of a modal box (tests).
using TErrorBoxHook = std::function<void(const QString& AMessage)>;
extern TErrorBoxHook ErrorBoxHook;

void ShowErrorBox(const QString& AMessage);

// Runs a handler that the windowing library dispatched (a click, a menu
// item, a check box change). No exception may unwind through the library's
// event loop: a failure ends the handler here, the windows stay as the
// failure left them, and the exception's message goes to the error box.
void RunHandler(const std::function<void()>& AHandler) noexcept;

// When set, asked instead of showing the modal input box (tests). It returns
// false for a cancelled box, otherwise true with the answer in AValue.
using TInputBoxHook = std::function<bool(const QString& ACaption, const QString& APrompt, QString& AValue)>;
extern TInputBoxHook InputBoxHook;

// A modal box with a prompt and one edit line holding ADefault; returns the
// edited text, or ADefault when the box is cancelled.
QString InputBox(const QString& ACaption, const QString& APrompt, const QString& ADefault);

// The network stack's text is 8-bit in the locale's encoding.
std::string ToNetText(const QString& AText);
QString FromNetText(const std::string& AText);
