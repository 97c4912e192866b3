#pragma once

// Drives a Qt Quick view shown in a real (offscreen) window from C++, by objectName.
// Header only: the GUI tests include it, the non-GUI support library never compiles it.

#include "pvtheme.h"

#include <QAccessible>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTest>
#include <memory>

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

// Whether an item sits inside a control that speaks for it (a button's label, a switch's text, a
// field's placeholder).
inline bool insideControl(QQuickItem* item)
{
    for (QQuickItem* parent = item->parentItem(); parent; parent = parent->parentItem()) {
        if (parent->inherits("QQuickTextInput") || parent->inherits("QQuickTextEdit")) {
            return true;
        }
        if (parent->inherits("QQuickAbstractButton") || parent->inherits("QQuickControl")) {
            return !parent->inherits("QQuickPane") && !parent->inherits("QQuickScrollView")
                && !parent->inherits("QQuickPopupItem");
        }
    }
    return false;
}

// What a screen reader would miss among the items shown under `root`: a button without a name or
// a Press (or Toggle) action, a text without a name, a text field that cannot be edited.
inline QStringList accessibilityGaps(QQuickItem* root)
{
    QStringList gaps;
    for (QQuickItem* item : itemsUnder(root)) {
        if (!item->isVisible() || item->opacity() == 0 || item->width() <= 0) {
            continue;
        }
        QAccessibleInterface* node = QAccessible::queryAccessibleInterface(item);
        const QString name = node ? node->text(QAccessible::Name) : QString();
        const QString what = QString::fromLatin1(item->metaObject()->className()) + u' '
            + item->objectName() + u' ' + item->property("text").toString();
        if (item->inherits("QQuickAbstractButton")) {
            const QStringList actions = node && node->actionInterface()
                ? node->actionInterface()->actionNames()
                : QStringList();
            if (name.isEmpty()
                || !(actions.contains(QAccessibleActionInterface::pressAction())
                    || actions.contains(QAccessibleActionInterface::toggleAction()))) {
                gaps << QStringLiteral("button ") + what;
            }
        } else if (item->inherits("QQuickText") && !item->property("text").toString().isEmpty()
            && !insideControl(item)) {
            if (name.isEmpty()) {
                gaps << QStringLiteral("text ") + what;
            }
        } else if ((item->inherits("QQuickTextInput") || item->inherits("QQuickTextEdit"))
            && !item->property("readOnly").toBool()) {
            if (name.isEmpty() || !node->editableTextInterface()) {
                gaps << QStringLiteral("field ") + what;
            }
        }
    }
    return gaps;
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
