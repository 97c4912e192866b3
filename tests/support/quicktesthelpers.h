#pragma once

// Drives a Qt Quick view shown in a real (offscreen) window from C++, by objectName.
// Header only: the GUI tests include it, the non-GUI support library never compiles it.

#include "pvtheme.h"

#include <QAccessible>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeyEvent>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTest>
#include <memory>

inline QByteArray compactJson(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// Types `text` into the window's focused item, one key event per character (accents included).
inline void typeText(QWindow* window, const QString& text)
{
    for (const QChar character : text) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(character));
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(character));
        QGuiApplication::sendEvent(window, &press);
        QGuiApplication::sendEvent(window, &release);
    }
}

// Every item under `root` in the visual tree, depth first.
inline QList<QQuickItem*> itemsUnder(QQuickItem* root)
{
    QList<QQuickItem*> items;
    for (QQuickItem* child : root->childItems()) {
        items.append(child);
        items.append(itemsUnder(child));
    }
    return items;
}

// The first item named `name` under `root` in the visual tree.
inline QQuickItem* findItem(QQuickItem* root, const QString& name)
{
    for (QQuickItem* candidate : itemsUnder(root)) {
        if (candidate->objectName() == name) {
            return candidate;
        }
    }
    return nullptr;
}

// The visible buttons and text inputs under `root`.
inline QList<QQuickItem*> visibleControls(QQuickItem* root)
{
    QList<QQuickItem*> controls;
    for (QQuickItem* control : itemsUnder(root)) {
        if ((control->inherits("QQuickAbstractButton") || control->inherits("QQuickTextArea")
                || control->inherits("QQuickTextField"))
            && control->isVisible()) {
            controls.append(control);
        }
    }
    return controls;
}

// The name a screen reader announces for `item`.
inline QString accessibleName(QQuickItem* item)
{
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(item);
    return accessible ? accessible->text(QAccessible::Name) : QString();
}

// The window and root item of a view under test, and its controls by objectName.
class QuickViewDriver
{
protected:
    [[nodiscard]] QQuickItem* item(const char* name) const
    {
        return findItem(m_root.get(), QString::fromLatin1(name));
    }

    [[nodiscard]] bool shown(const char* name) const
    {
        const QQuickItem* found = item(name);
        return found && found->isVisible();
    }

    [[nodiscard]] QString text(const char* name) const
    {
        const QQuickItem* found = item(name);
        return found ? found->property("text").toString() : QString();
    }

    [[nodiscard]] bool enabled(const char* name) const
    {
        const QQuickItem* found = item(name);
        return found && found->isEnabled();
    }

    // Waits for one frame, which lays out what changed since the last one.
    void nextFrame()
    {
        QSignalSpy swapped(m_window.get(), &QQuickWindow::frameSwapped);
        m_window->update();
        QTRY_VERIFY(!swapped.isEmpty());
    }

    // Clicks the centre of a visible, laid-out control.
    void click(const char* name)
    {
        QQuickItem* target = item(name);
        QVERIFY2(target && target->isVisible(), name);
        nextFrame();
        QVERIFY2(target->width() > 0 && target->height() > 0, name);
        const QPointF centre
            = target->mapToScene(QPointF(target->width() / 2, target->height() / 2));
        QVERIFY2(m_window->contentItem()->contains(centre), name);
        QTest::mouseClick(m_window.get(), Qt::LeftButton, {}, centre.toPoint());
    }

    // Focuses a visible field and types into it.
    void type(const char* name, const QString& text)
    {
        QQuickItem* field = item(name);
        QVERIFY2(field && field->isVisible(), name);
        field->forceActiveFocus();
        QTRY_VERIFY(field->hasActiveFocus());
        typeText(m_window.get(), text);
    }

    // Saves the window as <folder>/<prefix>-<name>-light.png and -dark.png.
    void saveBothAppearances(const QString& folder, const QString& prefix, const QString& name)
    {
        for (const PVAppearance appearance : { PVAppearance::light, PVAppearance::dark }) {
            PVTheme::instance().setAppearance(appearance);
            const QString file
                = QStringLiteral("%1/%2-%3-%4.png")
                      .arg(folder, prefix, name,
                          appearance == PVAppearance::dark ? QStringLiteral("dark")
                                                           : QStringLiteral("light"));
            nextFrame();
            QVERIFY(m_window->grabWindow().save(file));
        }
        PVTheme::instance().setAppearance(PVAppearance::light);
    }

    std::unique_ptr<QQuickWindow> m_window;
    std::unique_ptr<QQuickItem> m_root;
};
