#include "error.h"

#include <QTest>
#include <filesystem>
#include <new>
#include <stdexcept>
#include <system_error>

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(std::exception_ptr)

// Whatever reaches a workflow, the status line reads French.
class tst_Error : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void describesEveryExceptionInFrench_data()
    {
        QTest::addColumn<std::exception_ptr>("error");
        QTest::addColumn<QString>("text");
        QTest::newRow("ours") << std::make_exception_ptr(PlatformError(u"Piste illisible."_s))
                              << u"Piste illisible."_s;
        QTest::newRow("memory") << std::make_exception_ptr(std::bad_alloc())
                                << u"Mémoire insuffisante : l’opération a été interrompue."_s;
        QTest::newRow("full disk") << std::make_exception_ptr(std::filesystem::filesystem_error(
            "write", std::make_error_code(std::errc::no_space_on_device)))
                                   << u"Le disque est plein."_s;
        QTest::newRow("refused") << std::make_exception_ptr(
            std::system_error(std::make_error_code(std::errc::permission_denied)))
                                 << u"Accès refusé par le système."_s;
        QTest::newRow("other system error")
            << std::make_exception_ptr(std::system_error(EXDEV, std::generic_category()))
            << u"Erreur du système (code %1)."_s.arg(EXDEV);
        QTest::newRow("anything else") << std::make_exception_ptr(std::runtime_error("bad cast"))
                                       << u"Erreur inattendue (« bad cast »)."_s;
        QTest::newRow("not an exception") << std::make_exception_ptr(42) << u"Erreur inconnue."_s;
    }

    void describesEveryExceptionInFrench()
    {
        QFETCH(std::exception_ptr, error);
        QFETCH(QString, text);
        QCOMPARE(describeError(error), text);
    }
};

QTEST_GUILESS_MAIN(tst_Error)
#include "tst_error.moc"
