#pragma once
// The program's message boxes and its standard error display, behind one hook
// so that tests can answer every box the windows show.
#include <QPoint>
#include <QString>
#include <exception>
#include <functional>

// The default shows a QMessageBox (at `at` when given, in screen coordinates).
enum class TMsgKind { mkInformation, mkWarningYesNo, mkError };
enum class TMsgResult { mrOk, mrYes, mrNo };
using TMessageBoxHook =
    std::function<TMsgResult(TMsgKind kind, const QString& text, const QPoint* at)>;
extern TMessageBoxHook MessageBoxHook;
TMsgResult ShowMessageBox(TMsgKind kind, const QString& text, const QPoint* at = nullptr);

// The application's standard error display: a message box with the error's
// text, after which the program goes on.
void ShowApplicationError(const std::exception& e);
// Runs fn and shows any escaping exception with ShowApplicationError. Every
// user-triggered handler is wrapped in it, so errors never unwind through Qt.
void GuardedCall(const std::function<void()>& fn);
