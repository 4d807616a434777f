#pragma once

class QApplication;
class THidBackend;

// Runs the program on a HID backend: the main window with its settings, the signal handling,
// the event loop. The program and the demo program differ only in the backend they hand in.
int RunProgram(QApplication& app, THidBackend& backend);
