#pragma once

class QCoreApplication;

// Qt's own texts (network and file errors that reach the status line) in French, whatever the
// system's locale: the interface is French. False when the translations are not installed.
bool installFrenchPlatformTexts(QCoreApplication& application);
