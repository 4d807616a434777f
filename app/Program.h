#pragma once

#include <functional>

class QApplication;
class TMainWindow;
class THidBackend;

// Runs the program on a HID backend: the main window with its settings, the signal handling,
// the event loop. The program and the demo program differ only in the backend they hand in,
// and in setUp: when given, it is called with the window before the window is shown.
int RunProgram(QApplication& app, THidBackend& backend,
               const std::function<void(TMainWindow&)>& setUp = {});
