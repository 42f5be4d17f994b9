// Run on an installed tree (see CMakeLists.txt): XDG_DATA_DIRS starts with the
// install prefix's share folder and goes on to the system's, where the hicolor
// theme's index.theme lives.
#include <algorithm>

#include <QFileInfo>
#include <QIcon>
#include <QStandardPaths>
#include <QTest>

QIcon WirebenchIcon();

class tst_installedicon : public QObject
{
    Q_OBJECT
private slots:
    void windowIconHasEverySize();
    void themeFindsInstalledIcon();
};

const QList<QSize> Sizes{{16, 16}, {32, 32}, {48, 48}, {64, 64}, {256, 256}};

void tst_installedicon::windowIconHasEverySize()
{
    const QIcon icon = WirebenchIcon();
    for (const QSize &size : Sizes) {
        QVERIFY2(icon.availableSizes().contains(size), qPrintable(QString::number(size.width())));
        QCOMPARE(icon.pixmap(size).size(), size);
    }
}

void tst_installedicon::themeFindsInstalledIcon()
{
    // The icon folders a desktop searches: "icons" in each of XDG_DATA_HOME and
    // XDG_DATA_DIRS. The offscreen platform has no desktop theme to ask for them,
    // nor a theme name; every theme falls back to hicolor.
    const QStringList paths = QStandardPaths::locateAll(
        QStandardPaths::GenericDataLocation, QStringLiteral("icons"), QStandardPaths::LocateDirectory);
    if (!std::any_of(paths.begin(), paths.end(), [](const QString &p) {
            return QFileInfo::exists(p + QStringLiteral("/hicolor/index.theme"));
        }))
        QSKIP("No hicolor/index.theme in XDG_DATA_DIRS (package hicolor-icon-theme)");
    QIcon::setThemeName(QStringLiteral("hicolor"));
    QIcon::setThemeSearchPaths(paths);

    const QIcon icon = QIcon::fromTheme(QStringLiteral("wirebench"));
    QVERIFY(!icon.isNull());
    for (const QSize &size : Sizes)
        QVERIFY2(icon.availableSizes().contains(size), qPrintable(QString::number(size.width())));
    QCOMPARE(icon.pixmap(32).size(), QSize(32, 32));

    // It is the installed icon that was found: without the prefix there is none.
    const QString prefix = qEnvironmentVariable("XDG_DATA_DIRS").section(u':', 0, 0);
    QStringList others = paths;
    others.removeIf([&](const QString &p) { return p.startsWith(prefix + u'/'); });
    QCOMPARE(others.size(), paths.size() - 1);
    QIcon::setThemeSearchPaths(others);
    QVERIFY(QIcon::fromTheme(QStringLiteral("wirebench")).isNull());
}

QTEST_MAIN(tst_installedicon)
#include "tst_installedicon.moc"
