#include "pvtheme.h"

#include <QAccessible>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTest>

namespace {

const QByteArray scene = R"(
import QtQuick
import QtQuick.Controls.Basic
import Parlevox.Theme

Column {
    spacing: 8
    PVPrimaryButton { objectName: "primary"; text: "Enregistrer" }
    PVGhostButton { objectName: "ghost"; text: "Annuler" }
    PVPrimaryButton {
        objectName: "withIcon"; text: "Micro"; iconName: "audio-input-microphone-symbolic"
    }
    PVLink { objectName: "link"; text: "Suivre dans Devin" }
    PVText { objectName: "text"; text: "Le code est validé." }
    PVSelectableText { objectName: "selectable"; text: "a  b\tc"; extraLineSpacing: 6 }
    TextField { objectName: "field"; Accessible.name: "Code" }
    PVCard {
        objectName: "card"
        Rectangle { objectName: "content"; implicitWidth: 120; implicitHeight: 30; color: "red" }
    }
}
)";

QColor colorOf(const QObject* object, const char* name = "color")
{
    return object->property(name).value<QColor>();
}

QQuickItem* itemProperty(const QObject* object, const char* name)
{
    return object->property(name).value<QQuickItem*>();
}

} // namespace

// The theme's QML components, loaded from the module and shown in a real (offscreen) window.
class TestPVComponents : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        m_engine.addImportPath(QStringLiteral("qrc:/"));
        QQmlComponent component(&m_engine);
        component.setData(scene, QUrl(QStringLiteral("qrc:/tst_pvcomponents/Scene.qml")));
        m_root.reset(qobject_cast<QQuickItem*>(component.create()));
        QVERIFY2(m_root, qPrintable(component.errorString()));
        m_root->setParentItem(m_window.contentItem());
        m_window.resize(400, 500);
        m_window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&m_window));
    }

    void cleanup()
    {
        PVTheme::instance().setAppearance(PVAppearance::light);
        for (const char* name : { "primary", "ghost" }) {
            child(name)->setProperty("down", QVariant());
        }
    }

    void buttonsShape_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("primary") << QStringLiteral("primary");
        QTest::newRow("ghost") << QStringLiteral("ghost");
    }

    void buttonsShape()
    {
        QFETCH(QString, name);
        QQuickItem* button = child(name.toLatin1());
        QQuickItem* label = itemProperty(button, "contentItem");
        QQuickItem* background = itemProperty(button, "background");

        QCOMPARE(button->height(), 40.0);
        QCOMPARE(button->implicitWidth(), label->implicitWidth() + 32); // 16 of padding each side
        QVERIFY(label->implicitWidth() > 20);
        QCOMPARE(background->property("radius").toReal(), 12.0);

        const QFont font = label->property("font").value<QFont>();
        QCOMPARE(font.family(), QStringLiteral("Figtree"));
        QCOMPARE(font.weight(), QFont::Medium);
        QCOMPARE(font.pixelSize(), 14);
    }

    // Assistive technologies find each by its text and press it; fields take typed text.
    void answersAssistiveTechnologies_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("spoken");
        QTest::newRow("primary") << QStringLiteral("primary") << QStringLiteral("Enregistrer");
        QTest::newRow("link") << QStringLiteral("link") << QStringLiteral("Suivre dans Devin");
        QTest::newRow("text") << QStringLiteral("text") << QStringLiteral("Le code est validé.");
        QTest::newRow("selectable") << QStringLiteral("selectable") << QStringLiteral("a  b\tc");
        QTest::newRow("field") << QStringLiteral("field") << QStringLiteral("Code");
    }

    void answersAssistiveTechnologies()
    {
        QFETCH(QString, name);
        QQuickItem* item = child(name.toLatin1());
        QAccessibleInterface* node = QAccessible::queryAccessibleInterface(item);
        QVERIFY(node);
        QTEST(node->text(QAccessible::Name), "spoken");
        if (item->metaObject()->indexOfSignal("clicked()") >= 0) {
            QSignalSpy clicked(item, SIGNAL(clicked()));
            QVERIFY(node->actionInterface());
            node->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
            QCOMPARE(clicked.count(), 1);
        }
        const bool editable = name == QLatin1String("field");
        QCOMPARE(node->editableTextInterface() != nullptr, editable);
        if (editable) {
            node->editableTextInterface()->insertText(0, QStringLiteral("ab"));
            node->editableTextInterface()->insertText(1, QStringLiteral("-"));
            node->editableTextInterface()->replaceText(2, 3, QStringLiteral("c"));
            QCOMPARE(item->property("text").toString(), QStringLiteral("a-c"));
        }
    }

    // The bundled symbolic icon stands in for the theme's and takes the label's colour.
    void iconTintedLikeItsLabel()
    {
        QQuickItem* button = child("withIcon");
        const QColor ink = PVTheme::instance().pvOnAccent();
        const QPointF origin = button->mapToScene(QPointF(16, 12));
        const QImage image = m_window.grabWindow();
        int inked = 0;
        for (int x = 0; x < 16; ++x) {
            for (int y = 0; y < 16; ++y) {
                const QColor pixel = image.pixelColor(int(origin.x()) + x, int(origin.y()) + y);
                inked += qAbs(pixel.red() - ink.red()) + qAbs(pixel.green() - ink.green()) < 24;
            }
        }
        QVERIFY2(inked > 20, qPrintable(QString::number(inked)));
    }

    void primaryColours()
    {
        QQuickItem* button = child("primary");
        QQuickItem* background = itemProperty(button, "background");
        const PVTheme& theme = PVTheme::instance();

        QCOMPARE(colorOf(itemProperty(button, "contentItem")), theme.pvOnAccent());
        QCOMPARE(colorOf(background), theme.pvAccent());
        QCOMPARE(pixelAt(button, 6, 20), theme.pvAccent());

        button->setProperty("down", true);
        QCOMPARE(colorOf(background), theme.pvAccentHover());
        PVTheme::instance().setAppearance(PVAppearance::dark);
        QCOMPARE(colorOf(background), QColor::fromRgb(0xDD, 0xF0, 0x83));
        QCOMPARE(pixelAt(button, 6, 20), QColor::fromRgb(0xDD, 0xF0, 0x83));
    }

    void ghostColours()
    {
        QQuickItem* button = child("ghost");
        QQuickItem* background = itemProperty(button, "background");
        const QObject* border = background->property("border").value<QObject*>();
        const PVTheme& theme = PVTheme::instance();

        QCOMPARE(colorOf(background).alpha(), 0);
        QCOMPARE(colorOf(border), theme.pvLineStrong());
        QCOMPARE(border->property("width").toReal(), 1.0);
        QCOMPARE(colorOf(itemProperty(button, "contentItem")), theme.pvInk());

        button->setProperty("down", true);
        QCOMPARE(colorOf(background), theme.pvSurface());
        PVTheme::instance().setAppearance(PVAppearance::dark);
        QCOMPARE(colorOf(background), QColor::fromRgb(0x18, 0x21, 0x1D));
        QCOMPARE(colorOf(itemProperty(button, "contentItem")), QColor::fromRgb(0xF3, 0xF1, 0xE6));
        QCOMPARE(colorOf(border).rgb() & 0xFFFFFF, 0xF3F1E6U);
    }

    void cardPadsAndFills()
    {
        QQuickItem* card = child("card");
        QQuickItem* content = child("content");
        QQuickItem* background = itemProperty(card, "background");

        QCOMPARE(card->implicitWidth(), 120.0 + 32);
        QCOMPARE(card->implicitHeight(), 30.0 + 32);
        QCOMPARE(content->mapToItem(card, QPointF(0, 0)), QPointF(16, 16));
        QCOMPARE(background->property("radius").toReal(), 16.0);
        QCOMPARE(colorOf(background), PVTheme::instance().pvSurface());
        QCOMPARE(pixelAt(card, 8, 31), PVTheme::instance().pvSurface());

        PVTheme::instance().setAppearance(PVAppearance::dark);
        QCOMPARE(colorOf(background), QColor::fromRgb(0x18, 0x21, 0x1D));
    }

private:
    QQuickItem* child(const char* name) const
    {
        auto* item = m_root->findChild<QQuickItem*>(QString::fromLatin1(name));
        Q_ASSERT(item != nullptr);
        return item;
    }

    // The colour the window shows at a point of an item.
    QColor pixelAt(const QQuickItem* item, qreal x, qreal y)
    {
        const QPointF point = item->mapToScene(QPointF(x, y));
        const QImage image = m_window.grabWindow();
        return image.pixelColor(
            int(point.x() * image.devicePixelRatio()), int(point.y() * image.devicePixelRatio()));
    }

    QQmlEngine m_engine;
    QQuickWindow m_window;
    std::unique_ptr<QQuickItem> m_root;
};

QTEST_MAIN(TestPVComponents)
#include "tst_pvcomponents.moc"
