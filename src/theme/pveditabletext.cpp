#include "pveditabletext.h"

#include <QAccessible>
#include <QQuickTextDocument>
#include <QTextBlock>
#include <QTextBlockFormat>
#include <QTextCursor>
#include <QTextDocument>
#include <QtQuick/private/qaccessiblequickitem_p.h>
#include <QtQuick/private/qquickitem_p.h>

namespace {

class EditableQuickText final : public QAccessibleQuickItem, public QAccessibleEditableTextInterface
{
public:
    using QAccessibleQuickItem::QAccessibleQuickItem;

    void* interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::EditableTextInterface) {
            return static_cast<QAccessibleEditableTextInterface*>(this);
        }
        return QAccessibleQuickItem::interface_cast(type);
    }

    // A field without a name of its own is named by its placeholder, as a sighted user reads it.
    QString text(QAccessible::Text type) const override
    {
        QString text = QAccessibleQuickItem::text(type);
        if (type == QAccessible::Name && text.isEmpty() && object()) {
            text = object()->property("placeholderText").toString();
        }
        return text;
    }

    void deleteText(int startOffset, int endOffset) override
    {
        replaceText(startOffset, endOffset, QString());
    }
    void insertText(int offset, const QString& text) override { replaceText(offset, offset, text); }
    // Through the field's own remove() and insert(), so its change handlers run as for typing.
    void replaceText(int startOffset, int endOffset, const QString& text) override
    {
        QObject* field = object();
        if (!field || field->property("readOnly").toBool()) {
            return;
        }
        const int length = field->property("length").toInt();
        const int start = qBound(0, startOffset, length);
        const int end = qBound(start, endOffset, length);
        if (end > start) {
            QMetaObject::invokeMethod(field, "remove", Q_ARG(int, start), Q_ARG(int, end));
        }
        if (!text.isEmpty()) {
            QMetaObject::invokeMethod(field, "insert", Q_ARG(int, start), Q_ARG(QString, text));
        }
    }
};

QAccessibleInterface* editableTextFactory(const QString& /*className*/, QObject* object)
{
    auto* item = qobject_cast<QQuickItem*>(object);
    if (!item || !QQuickItemPrivate::get(item)->isAccessible
        || !(item->inherits("QQuickTextInput") || item->inherits("QQuickTextEdit"))
        || item->property("readOnly").toBool()) {
        return nullptr;
    }
    return new EditableQuickText(item);
}

} // namespace

void pvInstallEditableTextAccessibility()
{
    // The last factory installed is asked first.
    QAccessible::removeFactory(editableTextFactory);
    QAccessible::installFactory(editableTextFactory);
}

void pvSpaceLines(QQuickTextDocument* document, qreal extra)
{
    // Changing the format is itself a change of the text: do not answer our own change.
    static bool spacing = false;
    if (spacing || !document || !document->textDocument()) {
        return;
    }
    const QTextBlockFormat first = document->textDocument()->firstBlock().blockFormat();
    if (first.lineHeightType() == QTextBlockFormat::LineDistanceHeight
        && qFuzzyCompare(first.lineHeight(), extra)) {
        return;
    }
    spacing = true;
    QTextCursor cursor(document->textDocument());
    cursor.select(QTextCursor::Document);
    QTextBlockFormat format;
    format.setLineHeight(extra, QTextBlockFormat::LineDistanceHeight);
    cursor.mergeBlockFormat(format);
    spacing = false;
}
