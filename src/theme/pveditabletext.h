#pragma once

#include <QtGlobal>

class QQuickTextDocument;

// Qt Quick 6.4 text fields offer screen readers no editable-text interface: this adds one to every
// editable TextInput and TextEdit (typing, deleting and replacing through the field itself, as
// keystrokes would). Installing it again keeps it ahead of Qt Quick's own factory.
void pvInstallEditableTextAccessibility();

// Adds `extra` pixels between the lines of a plain-text document shown by a TextEdit.
void pvSpaceLines(QQuickTextDocument* document, qreal extra);
