// Drives the real main dialog through a scripted desktop: source choice, runs, keys and the About box.
#include "about_dlg.h"
#include "conversion_run.h"
#include "dialog_template.h"
#include "languages.h"
#include "scripted_services.h"
#include "veltrane_dlg.h"

#include <QAbstractButton>
#include <QApplication>
#include <QContextMenuEvent>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QProgressBar>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <cstdlib>
#include <fcntl.h>
#include <future>
#include <qpa/qwindowsysteminterface.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace veltrane::res;

namespace {

// A recording that starts with more than the probe's first reach of other bytes: 33 MiB of zeros before
// a 4:3 elementary stream. Made once, in a folder that goes when the tests end.
QString LateHeaderMedia() {
    static QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("late.m2v"));
    if (!QFile::exists(path)) {
        QFile in(QStringLiteral(VELTRANE_TEST_DATA_DIR "/mpeg2_4x3.m2v"));
        QFile out(path);
        if (in.open(QIODevice::ReadOnly) && out.open(QIODevice::WriteOnly)) {
            out.write(QByteArray(33 << 20, '\0'));
            out.write(in.readAll());
        }
    }
    return path;
}

QString Media(const char* name) {
    return QStringLiteral(VELTRANE_TEST_DATA_DIR "/") + QString::fromLatin1(name);
}

QByteArray Contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The values a progress bar showed each time it was painted.
struct PaintLog : QObject {
    QList<int> painted;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            painted << qobject_cast<QProgressBar*>(watched)->value();
        }
        return false;
    }
};

// A key typed on the keyboard: queued as the window system queues it, not handed to a widget directly.
void Type(QWidget* window, Qt::Key key, const QString& text) {
    for (const QEvent::Type type : {QEvent::KeyPress, QEvent::KeyRelease}) {
        QWindowSystemInterface::handleKeyEvent<QWindowSystemInterface::AsynchronousDelivery>(
            window->windowHandle(), type, key, Qt::NoModifier, text);
    }
}

// The text each control shows, in template order, and those that do not fit their control. The radio
// buttons' texts, the same in every language, are left out of the fit: in the stand-in for the dialog
// font they lose a pixel or two, as on Windows under wine.
QStringList ShownTexts(const QWidget& dialog, QStringList& overflowing) {
    QStringList texts;
    for (const QWidget* control : dialog.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        const QString text = control->property(control->inherits("QGroupBox") ? "title" : "text").toString();
        const int margins = control->inherits("QPushButton") ? 6 : 0;
        const int width = control->fontMetrics().horizontalAdvance(QString(text).remove(QLatin1Char('&')));
        if (!text.isEmpty() && !control->inherits("QLineEdit") && !control->inherits("QProgressBar")) {
            texts << text;
            overflowing << (width + margins > control->width() && !control->inherits("QRadioButton") ? text
                                                                                                     : "");
        }
    }
    overflowing.removeAll(QString());
    return texts;
}

// The aspects lsdvd reads of a DVD folder's title sets, in order.
QStringList LsdvdAspects(const QString& folder) {
    QStringList aspects;
    if (FILE* pipe = ::popen(("lsdvd -v '" + folder.toStdString() + "' 2>/dev/null").c_str(), "r")) {
        char line[4096];
        while (std::fgets(line, sizeof line, pipe)) {
            const QString text = QString::fromUtf8(line);
            if (const qsizetype at = text.indexOf(QStringLiteral("Aspect ratio: ")); at >= 0) {
                aspects << text.mid(at + 14).section(QLatin1Char(','), 0, 0);
            }
        }
        ::pclose(pipe);
    }
    return aspects;
}

} // namespace

class DialogTest : public QObject {
    Q_OBJECT

    ScriptedServices m_services;
    std::unique_ptr<CVeltraneDlg> m_dlg;
    QTemporaryDir m_dir;

    QLineEdit* Field(int id) const { return qobject_cast<QLineEdit*>(m_dlg->GetDlgItem(id)); }
    QAbstractButton* Button(int id) const { return qobject_cast<QAbstractButton*>(m_dlg->GetDlgItem(id)); }
    QProgressBar* Progress() const { return qobject_cast<QProgressBar*>(m_dlg->GetDlgItem(IDC_PROGRESS)); }
    QString Temp(const QString& name) const { return m_dir.filePath(name); }

    // Drags `urls` over `target` and drops them there, as a file manager does; the action the window took
    // them with, or none when it refused them. What the window does with a drop happens once it is over.
    static Qt::DropAction Drop(QWidget* target, const QList<QUrl>& urls,
                               Qt::DropActions actions = Qt::CopyAction | Qt::MoveAction | Qt::LinkAction) {
        QMimeData data;
        data.setUrls(urls);
        const QPoint at = target->rect().center();
        QDragEnterEvent enter(at, actions, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &enter);
        if (!enter.isAccepted()) {
            return Qt::IgnoreAction;
        }
        QDropEvent drop(at, actions, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &drop);
        QCoreApplication::processEvents();
        return drop.isAccepted() ? drop.dropAction() : Qt::IgnoreAction;
    }

private slots:
    void init() {
        m_services = ScriptedServices();
        m_dlg = std::make_unique<CVeltraneDlg>(m_services);
        m_dlg->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_dlg.get()));
    }
    void cleanup() { m_dlg.reset(); }

    void startsEmptyInTo16x9() {
        QCOMPARE(Field(IDC_SOURCE_PATH)->text() + Field(IDC_DEST_PATH)->text(), QString());
        QVERIFY(Button(IDC_MODE_TO_16_9)->isChecked() && !Button(IDC_MODE_TO_4_3)->isChecked());
        QCOMPARE(Progress()->value(), 0);
        QCOMPARE(QApplication::focusWidget(), Field(IDC_SOURCE_PATH));
    }

    // However a file becomes the source (its browse button, the program's argument, a drop onto its field
    // or onto the window), the probe preselects the opposite direction; a file it rejects leaves all as
    // it was, and text typed into the destination survives.
    void sourceChoiceSetsDirection_data() {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("checked");
        QTest::addColumn<QString>("error");
        QTest::addColumn<bool>("fieldShowsPath");
        struct Outcome {
            const char* name;
            QString path;
            int checked;
            const char* error;
            bool fieldShowsPath;
        };
        const Outcome outcomes[] = {
            {"4:3", Media("mpeg2_ps_4x3.mpg"), IDC_MODE_TO_16_9, "", true},
            {"16:9", Media("mpeg2_ts_16x9.ts"), IDC_MODE_TO_4_3, "", true},
            {"first header past 32 MiB", LateHeaderMedia(), IDC_MODE_TO_16_9, "", true},
            {"unknown aspect", Media("mpeg2_square.m2v"), IDC_MODE_TO_4_3, "unknown aspect ratio", true},
            {"no sequence header", Media("README.md"), IDC_MODE_TO_4_3, "can't find seqence_header", false},
            {"file that does not exist", Media("missing"), IDC_MODE_TO_4_3,
             "file open error\nNo such file or directory", false},
        };
        for (const char* how : {"browse", "argument", "drop onto the field", "drop onto the window"}) {
            for (const Outcome& o : outcomes) {
                QTest::addRow("%s, %s", how, o.name)
                    << how << o.path << o.checked << o.error << o.fieldShowsPath;
            }
        }
        QTest::newRow("browse, cancelled") << "browse" << QString() << IDC_MODE_TO_4_3 << "" << false;
    }
    void sourceChoiceSetsDirection() {
        QFETCH(QString, how);
        QFETCH(QString, path);
        QFETCH(int, checked);
        QFETCH(QString, error);
        QFETCH(bool, fieldShowsPath);
        Button(IDC_MODE_TO_4_3)->click();
        Field(IDC_SOURCE_PATH)->setText(QStringLiteral("typed.mpg"));
        QTest::keyClicks(Field(IDC_DEST_PATH), QStringLiteral("typed-out.mpg"));
        if (how == "browse") {
            m_services.sourceChoices = path.isNull() ? QStringList() : QStringList{path};
            Button(IDC_BROWSE_SOURCE)->click();
        } else if (how == "argument") {
            m_dlg->OpenSource(path);
        } else {
            // While the dialog runs modally, as the program runs it.
            QWidget* target =
                how == "drop onto the field" ? static_cast<QWidget*>(Field(IDC_SOURCE_PATH)) : m_dlg.get();
            Qt::DropAction taken = Qt::IgnoreAction;
            QTimer::singleShot(0, m_dlg.get(), [&] {
                taken = Drop(target, {QUrl::fromLocalFile(path)});
                m_dlg->done(0);
            });
            m_dlg->hide(); // a window shown before turns modal only when shown again
            m_dlg->exec();
            QCOMPARE(taken, Qt::CopyAction);
        }

        QVERIFY(Button(checked)->isChecked());
        QCOMPARE(m_services.errors, error.isEmpty() ? QStringList() : QStringList{error});
        QCOMPARE(Field(IDC_SOURCE_PATH)->text(), fieldShowsPath ? path : QStringLiteral("typed.mpg"));
        QCOMPARE(Field(IDC_DEST_PATH)->text(), QStringLiteral("typed-out.mpg"));
    }

    // Onto the destination field a file becomes the destination, unprobed; of several files the first local
    // one counts; anything that is not a local file, or that may only be moved, is refused.
    void dropsOtherThanASource_data() {
        QTest::addColumn<bool>("ontoDest");
        QTest::addColumn<QList<QUrl>>("urls");
        QTest::addColumn<int>("actions");
        QTest::addColumn<int>("taken");
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("dest");
        const QUrl file = QUrl::fromLocalFile(Media("README.md"));
        const QUrl video = QUrl::fromLocalFile(Media("mpeg2_ts_16x9.ts"));
        const QUrl web(QStringLiteral("https://example.org/a.mpg"));
        const int any = Qt::CopyAction | Qt::MoveAction | Qt::LinkAction;
        QTest::newRow("onto the destination")
            << true << QList{file} << any << int(Qt::CopyAction) << "" << file.toLocalFile();
        QTest::newRow("link only") << true << QList{file} << int(Qt::LinkAction) << int(Qt::LinkAction) << ""
                                   << file.toLocalFile();
        QTest::newRow("several files")
            << false << QList{web, video, file} << any << int(Qt::CopyAction) << video.toLocalFile() << "";
        QTest::newRow("move only") << false << QList{video} << int(Qt::MoveAction) << 0 << ""
                                   << "";
        QTest::newRow("web address") << false << QList{web} << any << 0 << ""
                                     << "";
        QTest::newRow("no files") << true << QList<QUrl>() << any << 0 << ""
                                  << "";
    }
    void dropsOtherThanASource() {
        QFETCH(bool, ontoDest);
        QFETCH(QList<QUrl>, urls);
        QFETCH(int, actions);
        QFETCH(int, taken);
        QFETCH(QString, source);
        QFETCH(QString, dest);
        QCOMPARE(int(Drop(ontoDest ? static_cast<QWidget*>(Field(IDC_DEST_PATH)) : m_dlg.get(), urls,
                          Qt::DropActions(actions))),
                 taken);
        QCOMPARE(Field(IDC_SOURCE_PATH)->text(), source);
        QCOMPARE(Field(IDC_DEST_PATH)->text(), dest);
        QCOMPARE(m_services.errors, QStringList());
    }

    // The run blocks the window, yet its positions reach the screen as it goes; input waits for its end.
    void runConvertsAndPaintsAsItGoes() {
        Field(IDC_SOURCE_PATH)->setText(Media("mpeg2_4x3.m2v"));
        m_services.destChoices = {Temp("out.mpg")};
        Button(IDC_BROWSE_DEST)->click();
        PaintLog log;
        Progress()->installEventFilter(&log);
        Field(IDC_DEST_PATH)->setFocus();
        m_services.onBeginWait = [&] { Type(m_dlg.get(), Qt::Key_X, QStringLiteral("x")); };
        Button(IDC_RUN)->click();

        QCOMPARE(Contents(Temp("out.mpg")), Contents(Media("mpeg2_4x3_as_16x9.golden.m2v")));
        QCOMPARE(m_services.errors, QStringList());
        QCOMPARE(m_services.beeps, 1);
        QCOMPARE(m_services.waitEnds, 1);
        QCOMPARE(m_services.destExtensions, QStringList{"m2v"}); // the source's type
        QCOMPARE(log.painted.first(), 0);
        QCOMPARE(log.painted.last(), veltrane::PROGRESS_MAX);
        QCOMPARE(Field(IDC_DEST_PATH)->text(), Temp("out.mpg"));
        QTRY_COMPARE(Field(IDC_DEST_PATH)->text(), Temp("out.mpg") + QStringLiteral("x"));
    }

    // The run goes on away from the window's thread. While a destination that takes no bytes holds it up,
    // the window still serves timers and paints under the busy cursor, and a close request waits for the
    // run's end; then the copy is whole and the window closes.
    void answersTheDesktopDuringARun() {
        const QByteArray fifo = QFile::encodeName(Temp("slow.mpg"));
        QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
        // The reader is there from the start, but takes nothing until released: the run soon fills the pipe.
        const int readEnd = ::open(fifo.constData(), O_RDONLY | O_NONBLOCK);
        QVERIFY(readEnd >= 0 && ::fcntl(readEnd, F_SETFL, 0) == 0);
        std::promise<void> release;
        QByteArray copied;
        std::thread reader([&copied, readEnd, released = release.get_future()] {
            released.wait();
            char buffer[4096];
            for (ssize_t got; (got = ::read(readEnd, buffer, sizeof buffer)) > 0;) {
                copied.append(buffer, got);
            }
            ::close(readEnd);
        });
        Field(IDC_SOURCE_PATH)->setText(Media("mpeg2_4x3.m2v"));
        Field(IDC_DEST_PATH)->setText(Temp("slow.mpg"));
        bool servedDuringRun = false;
        m_services.onBeginWait = [&] {
            QTimer::singleShot(20, m_dlg.get(), [&] {
                servedDuringRun = m_services.waitBegins == 1 && m_services.waitEnds == 0;
                m_dlg->close();
                servedDuringRun = servedDuringRun && m_dlg->isVisible();
                release.set_value();
            });
        };
        Button(IDC_RUN)->click();
        reader.join();

        QVERIFY(servedDuringRun);
        QCOMPARE(copied, Contents(Media("mpeg2_4x3_as_16x9.golden.m2v")));
        QCOMPARE(m_services.beeps, 1);
        QVERIFY(!m_dlg->isVisible());
    }

    // Under Japanese the window is as the resources hold it; under a language their other blocks give, in
    // that language; under any other, English. Qt's own buttons and file dialogs follow the window. In each
    // language every text fits its control, the mnemonics are unique, and the information texts are
    // translated.
    void followsTheDesktopLanguage_data() {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<QString>("aboutCaption");
        QTest::addColumn<QString>("qtCancel");
        QTest::addColumn<QString>("noHeaderInfo");
        QStringList japanese;
        for (const DialogItem& item : IDD_MAIN_ITEMS) {
            if (*item.text && item.kind != ItemKind::Progress) {
                japanese << QString::fromUtf8(item.text);
            }
        }
        const QString to16x9 = QStringLiteral("4:3 → 16:9"), to4x3 = QStringLiteral("16:9 → 4:3");
        const QStringList english{"&Input file:", "...", "&Output file:", "...",  "Conversion",
                                  to16x9,         to4x3, "&Run",          "E&xit"};
        QTest::newRow("Japanese") << "ja_JP" << japanese << QStringLiteral("Veltraneのﾊﾞｰｼﾞｮﾝ情報")
                                  << QStringLiteral("キャンセル")
                                  << QString::fromUtf8(IDS_NO_SEQUENCE_HEADER_TEXT);
        QTest::newRow("English") << "en_GB" << english << "About Veltrane"
                                 << "Cancel"
                                 << "No MPEG video was found in the input file";
        QTest::newRow("German") << "de_DE"
                                << QStringList{"&Quelldatei:", "...", "&Zieldatei:", "...",     "Umwandlung",
                                               to16x9,         to4x3, "&Starten",    "&Beenden"}
                                << QStringLiteral("Info über Veltrane") << "Abbrechen"
                                << "In der Quelldatei wurde kein MPEG-Video gefunden";
        QTest::newRow("French") << "fr_FR"
                                << QStringList{"&Entrée :", "...", "&Sortie :", "...",     "Conversion",
                                               to16x9,      to4x3, "&Lancer",   "&Quitter"}
                                << QStringLiteral("À propos de Veltrane") << "Annuler"
                                << "Aucune vidéo MPEG n'a été trouvée dans le fichier d'entrée";
        QTest::newRow("Spanish") << "es_ES"
                                 << QStringList{"&Entrada:", "...", "&Salida:",   "...",   "Conversión",
                                                to16x9,      to4x3, "&Convertir", "Sa&lir"}
                                 << "Acerca de Veltrane"
                                 << "Cancelar"
                                 << "No se ha encontrado ningún vídeo MPEG en el archivo de entrada";
        QTest::newRow("Italian") << "it_IT"
                                 << QStringList{"&Ingresso:", "...", "&Uscita:", "...",  "Conversione",
                                                to16x9,       to4x3, "&Avvia",   "&Esci"}
                                 << "Informazioni su Veltrane"
                                 << "Annulla"
                                 << "Nel file in ingresso non è stato trovato alcun video MPEG";
        QTest::newRow("Simplified Chinese")
            << "zh_CN" << QStringList{"输入(&I)：", "...", "输出(&O)：", "...",     "转换模式",
                                      to16x9,       to4x3, "转换(&R)",   "退出(&X)"}
            << QStringLiteral("关于 Veltrane") << QStringLiteral("取消")
            << QStringLiteral("输入文件中未找到 MPEG 视频");
        QTest::newRow("Simplified Chinese in Singapore")
            << "zh_SG" << QStringList{"输入(&I)：", "...", "输出(&O)：", "...",     "转换模式",
                                      to16x9,       to4x3, "转换(&R)",   "退出(&X)"}
            << QStringLiteral("关于 Veltrane") << QStringLiteral("取消")
            << QStringLiteral("输入文件中未找到 MPEG 视频");
        QTest::newRow("Traditional Chinese, which the resources lack")
            << "zh_TW" << english << "About Veltrane"
            << "Cancel"
            << "No MPEG video was found in the input file";
        QTest::newRow("Portuguese, which the resources lack") << "pt_BR" << english << "About Veltrane"
                                                              << "Cancel"
                                                              << "No MPEG video was found in the input file";
    }
    void followsTheDesktopLanguage() {
        QFETCH(QString, locale);
        QFETCH(QStringList, texts);
        QFETCH(QString, aboutCaption);
        QFETCH(QString, qtCancel);
        QFETCH(QString, noHeaderInfo);
        const veltrane::Translators translators = veltrane::InstallTranslators(QLocale(locale));
        CVeltraneDlg dialog(m_services);
        CAboutDlg about(&dialog);
        QStringList overflowing;
        const QStringList shown = ShownTexts(dialog, overflowing);
        QCOMPARE(shown, texts);
        ShownTexts(about, overflowing);
        QCOMPARE(overflowing.join(QLatin1Char('|')), QString());
        QCOMPARE(dialog.size(), m_dlg->size());
        QCOMPARE(about.windowTitle(), aboutCaption);
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), qtCancel);
        QVERIFY(veltrane::ResourceText(IDS_NO_SEQUENCE_HEADER_TEXT).startsWith(noHeaderInfo));
        QVERIFY(veltrane::ResourceText(IDS_OTHER_ASPECT_NOT_FOUND_TEXT) !=
                    QString::fromUtf8(IDS_OTHER_ASPECT_NOT_FOUND_TEXT) ||
                locale == "ja_JP");
        // The disc's "output taken" text names the folder in every language.
        QVERIFY(veltrane::ResourceText(IDS_DISC_OUTPUT_TAKEN_TEXT).contains(QStringLiteral("%1")));
        QVERIFY(veltrane::ResourceText(IDS_DISC_OUTPUT_TAKEN_TEXT) !=
                    QString::fromUtf8(IDS_DISC_OUTPUT_TAKEN_TEXT) ||
                locale == "ja_JP");
        QString mnemonics;
        for (const QString& text : shown) {
            const qsizetype at = text.indexOf(QLatin1Char('&'));
            mnemonics += at >= 0 ? text.mid(at + 1, 1).toUpper() : QString();
        }
        QCOMPARE(QSet<QChar>(mnemonics.begin(), mnemonics.end()).size(), mnemonics.size());
        QCOMPARE(mnemonics.size(), 4);
    }

    // A failure shows its own text once in an error box, without the completion beep, leaves the busy cursor
    // off and the source alone; a run that rewrites no aspect code still makes the copy, but says why in an
    // information box instead of beeping.
    void runMessages_data() {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("dest");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("info");
        QTest::newRow("missing source")
            << Temp("missing") << Temp("out.mpg") << "can't open input file\nNo such file or directory"
            << "";
        QTest::newRow("source as destination")
            << Temp("in.mpg") << Temp("in.mpg")
            << "can't open output file.\nthe destination is the source file itself"
            << "";
#ifdef __linux__ // a device that is always full
        QTest::newRow("full device") << Temp("in.mpg") << QStringLiteral("/dev/full")
                                     << "can't write output file.\nNo space left on device"
                                     << "";
#endif
        QTest::newRow("already 16:9") << Media("mpeg2_ts_16x9.ts") << Temp("out.mpg") << ""
                                      << QString::fromUtf8(IDS_OTHER_ASPECT_NOT_FOUND_TEXT);
        QTest::newRow("no sequence header")
            << Media("README.md") << Temp("out.mpg") << "" << QString::fromUtf8(IDS_NO_SEQUENCE_HEADER_TEXT);
    }
    void runMessages() {
        QFETCH(QString, source);
        QFETCH(QString, dest);
        QFETCH(QString, error);
        QFETCH(QString, info);
        const QByteArray original = Contents(Media("mpeg2_4x3.m2v"));
        QFile in(Temp("in.mpg"));
        QVERIFY(in.open(QIODevice::WriteOnly) && in.write(original) == original.size());
        in.close();
        Field(IDC_SOURCE_PATH)->setText(source);
        Field(IDC_DEST_PATH)->setText(dest);
        Button(IDC_RUN)->click();

        QCOMPARE(m_services.errors + m_services.infos, QStringList{error + info});
        QCOMPARE(m_services.infos.size(), int(!info.isEmpty()));
        QCOMPARE(m_services.beeps, 0);
        QCOMPARE(m_services.waitEnds, m_services.waitBegins);
        QCOMPARE(Contents(Temp("in.mpg")), original);
        if (!info.isEmpty()) {
            QCOMPARE(Progress()->value(), veltrane::PROGRESS_MAX);
            QCOMPARE(Contents(Temp("out.mpg")), Contents(source));
        }
    }

    // A DVD folder, dropped or picked by its VIDEO_TS.IFO, is converted whole into a folder; its first
    // title set (4:3) chooses the direction, and a failure gives its reason on the second line.
    void convertsADvdFolder_data() {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("dest");
        QTest::addColumn<QString>("error");
        QTest::newRow("dropped onto the window") << "window"
                                                 << "out"
                                                 << "";
        QTest::newRow("dropped onto the source field") << "field"
                                                       << "out"
                                                       << "";
        QTest::newRow("VIDEO_TS.IFO picked") << "pick"
                                             << "out/VIDEO_TS"
                                             << "";
        QTest::newRow("destination's folder missing")
            << "window"
            << "missing/out"
            << "can't create the output folder\nNo such file or directory";
        QTest::newRow("destination holds other files")
            << "window"
            << "taken" << QString::fromUtf8(IDS_DISC_OUTPUT_TAKEN_TEXT);
    }
    void convertsADvdFolder() {
        QFETCH(QString, how);
        QFETCH(QString, dest);
        QFETCH(QString, error);
        const QTemporaryDir dir; // a disc of its own: dvdauthor adds title sets to one that is there
        const auto In = [&dir](const QString& name) { return dir.filePath(name); };
        const QString d = dir.path();
        if (std::system(
                ("command -v dvdauthor >/dev/null && command -v lsdvd >/dev/null && cd '" + d.toStdString() +
                 "' && for a in 4:3 16:9; do ffmpeg -nostdin -v error -y -f lavfi -i "
                 "testsrc=size=720x576:rate=25 -t 0.4 -target pal-dvd -aspect $a ${a%:*}.mpg; done && "
                 "VIDEO_FORMAT=PAL dvdauthor -o dvd -t 4.mpg >/dev/null 2>&1 && VIDEO_FORMAT=PAL "
                 "dvdauthor -o dvd -t 16.mpg >/dev/null 2>&1 && VIDEO_FORMAT=PAL dvdauthor -o dvd -T "
                 ">/dev/null 2>&1")
                    .c_str()) != 0) {
            QSKIP("dvdauthor, lsdvd or ffmpeg is missing (scripts/install-deps installs them)");
        }
        QCOMPARE(LsdvdAspects(In("dvd")), (QStringList{"4/3", "16/9"}));
        QDir(d).mkdir(QStringLiteral("out"));
        QDir(d).mkdir(QStringLiteral("taken"));
        QFile kept(In("taken/kept.txt"));
        QVERIFY(kept.open(QIODevice::WriteOnly) && kept.write("kept") == 4);
        kept.close();
        Button(IDC_MODE_TO_4_3)->setChecked(true);
        if (how == QStringLiteral("pick")) {
            m_services.sourceChoices = {In("dvd/VIDEO_TS/VIDEO_TS.IFO")};
            Button(IDC_BROWSE_SOURCE)->click();
        } else {
            QWidget* target =
                how == QStringLiteral("field") ? static_cast<QWidget*>(Field(IDC_SOURCE_PATH)) : m_dlg.get();
            QCOMPARE(Drop(target, {QUrl::fromLocalFile(In("dvd"))}), Qt::CopyAction);
        }
        QTRY_VERIFY(Button(IDC_MODE_TO_16_9)->isChecked());
        QCOMPARE(Field(IDC_SOURCE_PATH)->text(),
                 how == QStringLiteral("pick") ? In("dvd/VIDEO_TS") : In("dvd"));
        m_services.destChoices = {In(dest)};
        Button(IDC_BROWSE_DEST)->click();
        QCOMPARE(m_services.destExtensions, QStringList{"folder"});
        Button(IDC_RUN)->click();

        QCOMPARE(m_services.errors,
                 error.isEmpty()
                     ? QStringList()
                     : QStringList{error.contains(QStringLiteral("%1")) ? error.arg(In(dest)) : error});
        QCOMPARE(Contents(In("taken/kept.txt")), QByteArray("kept"));
        QCOMPARE(m_services.beeps, int(error.isEmpty()));
        if (error.isEmpty()) {
            QCOMPARE(Progress()->value(), veltrane::PROGRESS_MAX);
            QCOMPARE(LsdvdAspects(In("out")), (QStringList{"16/9", "16/9"}));
        }
    }

    // While a box stands over the window it takes no drops, as it takes no clicks.
    void noDropUnderAModalBox() {
        QDialog box(m_dlg.get());
        box.setModal(true);
        box.show();
        QCOMPARE(Drop(m_dlg.get(), {QUrl::fromLocalFile(Media("mpeg2_ts_16x9.ts"))}), Qt::IgnoreAction);
        box.hide();
        QCOMPARE(Field(IDC_SOURCE_PATH)->text(), QString());
    }

    // Neither key may run the conversion (a default button) or close the window (Escape).
    void enterAndEscapeDoNothing() {
        QTest::keyClick(Field(IDC_SOURCE_PATH), Qt::Key_Return);
        QTest::keyClick(Button(IDC_RUN), Qt::Key_Enter);
        QTest::keyClick(Field(IDC_DEST_PATH), Qt::Key_Escape);
        QVERIFY(m_dlg->isVisible());
        QCOMPARE(m_services.errors, QStringList());
    }

    void contextMenuOpensTheAboutBox() {
        QString caption;
        QTimer::singleShot(0, this, [&] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            QVERIFY(menu);
            QTimer::singleShot(0, this, [&] {
                auto* about = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget());
                QVERIFY(about);
                caption = about->windowTitle();
                about->accept();
            });
            menu->setActiveAction(menu->actions().value(0));
            QTest::keyClick(menu, Qt::Key_Return);
        });
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), m_dlg->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(m_dlg.get(), &event);
        QCOMPARE(caption, QStringLiteral("Veltraneのﾊﾞｰｼﾞｮﾝ情報"));
    }
};

QTEST_MAIN(DialogTest)
#include "veltrane_dlg_test.moc"
