#include "foundation/L.h"
#include "recognition/RecognitionLanguages.h"
#include "recognition/RecognitionWorker.h"
#include "recognition/Translation.h"
#include "support/DrawnText.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFont>
#include <QFontMetricsF>
#include <QPainter>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QtEndian>
#include <atomic>
#include <thread>
#include <vector>

using namespace quilvant;

namespace {

const QString kSystemData = QStringLiteral("/usr/share/tesseract-ocr/5/tessdata");

struct Drawing
{
    Drawing(QStringList lines_ = {}, int pixelSize_ = 44, QString family_ = {}, int left_ = 35, bool dark_ = false)
        : lines(std::move(lines_))
        , pixelSize(pixelSize_)
        , family(std::move(family_))
        , left(left_)
        , dark(dark_)
    {}

    QStringList lines;
    int pixelSize;
    QString family; // empty: the system font
    int left;
    bool dark; // light text on a dark ground
};

// An RGB PNG of the given size whose image data is missing: enough for a reader to learn the size.
QByteArray pngHeader(quint32 width, quint32 height)
{
    const auto bigEndian = [](quint32 value) {
        QByteArray bytes(4, '\0');
        qToBigEndian(value, bytes.data());
        return bytes;
    };
    const auto chunk = [&bigEndian](const QByteArray& type, const QByteArray& data) -> QByteArray {
        const QByteArray body = type + data;
        quint32 crc = 0xffffffff;
        for (const char byte : body) {
            crc ^= static_cast<unsigned char>(byte);
            for (int bit = 0; bit < 8; ++bit) {
                crc = (crc >> 1) ^ (0xedb88320 & (0u - (crc & 1)));
            }
        }
        return bigEndian(quint32(data.size())) + body + bigEndian(~crc);
    };
    return QByteArray("\x89PNG\r\n\x1a\n", 8) +
           chunk("IHDR", bigEndian(width) + bigEndian(height) + QByteArray("\x08\x02\x00\x00\x00", 5)) +
           chunk("IDAT", {}) + chunk("IEND", {});
}

QImage draw(const Drawing& drawing)
{
    QFont font;
    if (!drawing.family.isEmpty()) {
        font.setFamily(drawing.family);
    }
    font.setPixelSize(drawing.pixelSize);
    const QFontMetricsF metrics(font);
    const int lineStep = int(metrics.height() * 1.5);
    QImage image(drawing.left + 1500, lineStep * int(drawing.lines.size()) + 2 * drawing.pixelSize,
                 QImage::Format_RGB32);
    image.fill(drawing.dark ? QColor(30, 30, 30) : Qt::white);
    QPainter painter(&image);
    painter.setFont(font);
    painter.setPen(drawing.dark ? QColor(235, 235, 235) : Qt::black);
    for (int i = 0; i < drawing.lines.size(); ++i) {
        painter.drawText(QPointF(drawing.left, drawing.pixelSize + i * lineStep + metrics.ascent()), drawing.lines[i]);
    }
    return image;
}

QString saved(const QImage& image, const QTemporaryDir& dir, const QString& name)
{
    const QString path = dir.filePath(name + QStringLiteral(".png"));
    if (!image.save(path, "PNG")) {
        qFatal("cannot write %s", qPrintable(path));
    }
    return path;
}

// A data folder holding links to some of the installed models.
QString subsetOf(const QTemporaryDir& dir, const QString& name, const QStringList& models)
{
    const QString folder = dir.filePath(name);
    QDir().mkpath(folder);
    for (const QString& model : models) {
        const QString file = model + QStringLiteral(".traineddata");
        QFile::link(QDir(kSystemData).filePath(file), QDir(folder).filePath(file));
    }
    return folder;
}

} // namespace

Q_DECLARE_METATYPE(Drawing)
Q_DECLARE_METATYPE(test::DrawnText)

class TestRecognition : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

private Q_SLOTS:
    void cleanup() { RecognitionLanguages::setDataPath(QString()); }

    void readsEachScriptWithTheRightModel_data()
    {
        QTest::addColumn<Drawing>("drawing");
        QTest::addColumn<QString>("expected");

        const auto one = [](const char* text) { return Drawing({QString::fromUtf8(text)}); };
        QTest::newRow("English") << one("Keep reading and stay curious.")
                                 << QStringLiteral("Keep reading and stay curious.");
        QTest::newRow("French keeps its accents")
            << one("Où est le garçon ? Il a déjà mangé à côté de l'hôtel, très tôt.")
            << QStringLiteral("Où est le garçon ? Il a déjà mangé à côté de l'hôtel, très tôt.");
        QTest::newRow("simplified Chinese stays simplified, no spaces")
            << one("保持好奇，发现新的世界。") << QStringLiteral("保持好奇，发现新的世界。");
        QTest::newRow("traditional Chinese stays traditional")
            << one("請選擇要翻譯的區域") << QStringLiteral("請選擇要翻譯的區域");
        QTest::newRow("traditional in a serif font")
            << Drawing{{QStringLiteral("請選擇要翻譯的區域")}, 44, QStringLiteral("Noto Serif CJK TC")}
            << QStringLiteral("請選擇要翻譯的區域");
        QTest::newRow("simplified in a traditional font")
            << Drawing{{QStringLiteral("请选择要翻译的区域")}, 44, QStringLiteral("Noto Serif CJK TC")}
            << QStringLiteral("请选择要翻译的区域");
        QTest::newRow("two Chinese characters") << one("设置") << QStringLiteral("设置");
        QTest::newRow("two traditional characters") << one("設定") << QStringLiteral("設定");
        // Script detection guesses on a word or two; reading decides.
        QTest::newRow("short English") << one("OK") << QStringLiteral("OK");
        QTest::newRow("a web address, which the French model is unsure of")
            << one("https://www.example.org/docs/getting-started")
            << QStringLiteral("https://www.example.org/docs/getting-started");
        QTest::newRow("short Japanese") << one("はい") << QStringLiteral("はい");
        QTest::newRow("short Korean") << one("확인") << QStringLiteral("확인");
        QTest::newRow("small traditional serif line")
            << Drawing({QStringLiteral("請選擇要翻譯的區域")}, 16, QStringLiteral("Noto Serif CJK TC"))
            << QStringLiteral("請選擇要翻譯的區域");
        QTest::newRow("Japanese") << one("新しい世界を見つけましょう。")
                                  << QStringLiteral("新しい世界を見つけましょう。");
        QTest::newRow("Korean keeps its word spaces")
            << one("새로운 세상을 발견하세요.") << QStringLiteral("새로운 세상을 발견하세요.");
        QTest::newRow("two lines in reading order")
            << Drawing{{QStringLiteral("Keep reading and stay curious."),
                        QStringLiteral("Restart the application to apply the new settings.")}}
            << QStringLiteral("Keep reading and stay curious.\nRestart the application to apply the new settings.");
        QTest::newRow("two Chinese lines")
            << Drawing{{QStringLiteral("保持好奇，发现新的世界。"), QStringLiteral("这个国家的经济发展很快。")}}
            << QStringLiteral("保持好奇，发现新的世界。\n这个国家的经济发展很快。");
        QTest::newRow("line far from the left edge")
            << Drawing{{QStringLiteral("Keep reading")}, 44, QString(), 900} << QStringLiteral("Keep reading");
        QTest::newRow("small interface text") << Drawing{{QStringLiteral("Settings saved: restart required.")}, 16}
                                              << QStringLiteral("Settings saved: restart required.");
        QTest::newRow("light text on a dark ground")
            << Drawing{{QStringLiteral("Keep reading and stay curious.")}, 44, QString(), 35, true}
            << QStringLiteral("Keep reading and stay curious.");
    }

    void readsEachScriptWithTheRightModel()
    {
        QFETCH(Drawing, drawing);
        QFETCH(QString, expected);
        const QString path = saved(draw(drawing), m_dir, QString::fromLatin1(QTest::currentDataTag()));
        const Outcome<QString> text = Translation::recognizeFile(path);
        if (!text.ok()) {
            QFAIL(qPrintable(text.error().description()));
        }
        QCOMPARE(text.value(), expected);
    }

    void readsColumnsRightToLeft_data()
    {
        QTest::addColumn<test::DrawnText>("text");

        const auto columns = [](QStringList lines, int size, const char* family, bool dark) {
            return test::DrawnText{std::move(lines), size, QString::fromLatin1(family), dark, true};
        };
        QTest::newRow("Japanese, two columns")
            << columns({QStringLiteral("新しい世界を見つけましょう。"), QStringLiteral("明日は晴れるでしょう。")}, 14,
                       "Noto Sans CJK JP", false);
        QTest::newRow("Japanese, four columns, dark")
            << columns({QStringLiteral("吾輩は猫である。"), QStringLiteral("名前はまだ無い。"),
                        QStringLiteral("どこで生れたかとんと"), QStringLiteral("見当がつかぬ。")},
                       18, "Noto Sans CJK JP", true);
        QTest::newRow("simplified, two columns")
            << columns({QStringLiteral("保持好奇，发现新的世界。"), QStringLiteral("这个国家的经济发展很快。")}, 16,
                       "Noto Sans CJK SC", false);
        QTest::newRow("simplified, one column, dark")
            << columns({QStringLiteral("请选择要翻译的区域")}, 20, "Noto Serif CJK SC", true);
        QTest::newRow("simplified in a traditional font")
            << columns({QStringLiteral("请选择要翻译的区域")}, 20, "Noto Sans CJK TC", false);
        QTest::newRow("traditional, one column")
            << columns({QStringLiteral("請選擇要翻譯的區域")}, 18, "Noto Sans CJK TC", false);
        QTest::newRow("traditional, two columns, dark")
            << columns({QStringLiteral("保持好奇發現新的世界"), QStringLiteral("請選擇要翻譯的區域")}, 20,
                       "Noto Sans CJK TC", true);
        QTest::newRow("traditional in a serif font")
            << columns({QStringLiteral("這個國家的經濟發展很快"), QStringLiteral("請選擇要翻譯的區域")}, 16,
                       "Noto Serif CJK TC", false);
    }

    void readsColumnsRightToLeft()
    {
        QFETCH(test::DrawnText, text);
        const QString path = saved(test::draw(text), m_dir, QString::fromLatin1(QTest::currentDataTag()));
        const Outcome<QString> read = Translation::recognizeFile(path);
        if (!read.ok()) {
            QFAIL(qPrintable(read.error().description()));
        }
        QCOMPARE(read.value(), text.lines.join(QLatin1Char('\n')));
    }

    void rowsAboveOrBelowColumns_data()
    {
        QTest::addColumn<bool>("rowsFirst");
        QTest::newRow("a heading above columns") << true;
        QTest::newRow("a caption below columns") << false;
    }

    void rowsAboveOrBelowColumns()
    {
        // Each block reads as what it is, top to bottom.
        QFETCH(bool, rowsFirst);
        const test::DrawnText heading{{QStringLiteral("Keep reading and stay curious.")}, 20};
        const test::DrawnText block{
            {QStringLiteral("新しい世界を見つけましょう。"), QStringLiteral("明日は晴れるでしょう。")},
            16,
            QStringLiteral("Noto Sans CJK JP"),
            false,
            true};
        const QList<test::DrawnText> parts = rowsFirst ? QList{heading, block} : QList{block, heading};
        const QImage first = test::draw(parts[0]);
        const QImage second = test::draw(parts[1]);
        QImage both(std::max(first.width(), second.width()), first.height() + second.height(), QImage::Format_RGB32);
        both.fill(Qt::white);
        {
            QPainter painter(&both);
            painter.drawImage(0, 0, first);
            painter.drawImage(0, first.height(), second);
        }
        const Outcome<QString> read = Translation::recognizeFile(saved(both, m_dir, QStringLiteral("mixed")));
        if (!read.ok()) {
            QFAIL(qPrintable(read.error().description()));
        }
        QCOMPARE(read.value(), (parts[0].lines + parts[1].lines).join(QLatin1Char('\n')));
    }

    void capturesInTurnOfDifferentScripts()
    {
        // Each reading starts from the script of the one before; every change of script must still read right,
        // including between the Chinese scripts and to Japanese in a serif face whose kana are hard to spot.
        const QList<Drawing> turns = {
            Drawing({QStringLiteral("Keep reading and stay curious.")}),
            Drawing({QStringLiteral("保持好奇，发现新的世界。")}),
            Drawing({QStringLiteral("請選擇要翻譯的區域")}),
            Drawing({QStringLiteral("新しい世界を見つけましょう。")}),
            Drawing({QStringLiteral("这个国家的经济发展很快。")}),
            Drawing({QStringLiteral("새로운 세상을 발견하세요.")}),
            Drawing({QStringLiteral("請選擇要翻譯的區域")}),
            Drawing({QStringLiteral("La curiosité ouvre de nouvelles portes.")}),
            Drawing({QStringLiteral("新しい世界を見つけましょう。")}, 24, QStringLiteral("Noto Serif CJK JP")),
            Drawing({QStringLiteral("保持好奇，发现新的世界。")}),
            Drawing({QStringLiteral("Keep reading and stay curious.")}),
        };
        QStringList paths;
        for (qsizetype i = 0; i < turns.size(); ++i) {
            paths.append(saved(draw(turns[i]), m_dir, QStringLiteral("turn-%1").arg(i)));
        }
        QStringList read;
        std::thread fresh([&] { // a thread of its own: no reading before this sequence
            for (const QString& path : paths) {
                const Outcome<QString> text = Translation::recognizeFile(path);
                read.append(text.ok() ? text.value() : text.error().description());
            }
        });
        fresh.join();
        for (qsizetype i = 0; i < turns.size(); ++i) {
            QCOMPARE(read.value(i), turns[i].lines.join(QLatin1Char('\n')));
        }
    }

    void transparentGroundCountsAsWhite()
    {
        // Screenshots of translucent windows keep their alpha; the ground must not turn black under the text.
        QImage image(900, 150, QImage::Format_ARGB32);
        image.fill(Qt::transparent);
        {
            QPainter painter(&image);
            QFont font;
            font.setPixelSize(40);
            painter.setFont(font);
            painter.setPen(Qt::black);
            painter.drawText(QPointF(30, 90), QStringLiteral("Keep reading"));
        }
        const Outcome<QString> text = Translation::recognizeFile(saved(image, m_dir, QStringLiteral("transparent")));
        if (!text.ok()) {
            QFAIL(qPrintable(text.error().description()));
        }
        QCOMPARE(text.value(), QStringLiteral("Keep reading"));
    }

    void framedTextIsReadWithoutItsFrame()
    {
        // A capture of a text field: its border must neither join the lines nor be read as letters.
        QImage image = draw(Drawing({QStringLiteral("Keep reading and stay curious."),
                                     QStringLiteral("Restart the application to apply the new settings.")}));
        {
            QPainter painter(&image);
            painter.setPen(QPen(QColor(90, 90, 90), 2));
            painter.drawRect(image.rect().adjusted(4, 4, -5, -5));
        }
        const Outcome<QString> text = Translation::recognizeFile(saved(image, m_dir, QStringLiteral("framed")));
        if (!text.ok()) {
            QFAIL(qPrintable(text.error().description()));
        }
        QCOMPARE(text.value(),
                 QStringLiteral("Keep reading and stay curious.\nRestart the application to apply the new settings."));
    }

    void failures_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content"); // empty: the file is not created
        QTest::addColumn<bool>("noText");        // the "no text found" failure, else the reader's own error

        QImage white(600, 150, QImage::Format_RGB32);
        white.fill(Qt::white);
        QImage grey(600, 150, QImage::Format_RGB32);
        grey.fill(QColor(128, 128, 128));
        QImage tiny(1, 1, QImage::Format_RGB32);
        tiny.fill(Qt::black);
        const auto png = [](const QImage& image) {
            QByteArray bytes;
            QBuffer buffer(&bytes);
            buffer.open(QIODevice::WriteOnly);
            image.save(&buffer, "PNG");
            return bytes;
        };
        QTest::newRow("blank image") << QStringLiteral("white.png") << png(white) << true;
        QTest::newRow("uniform grey") << QStringLiteral("grey.png") << png(grey) << true;
        QTest::newRow("one pixel") << QStringLiteral("tiny.png") << png(tiny) << true;
        QTest::newRow("not an image") << QStringLiteral("text.png") << QByteArray("just some words\n") << false;
        QTest::newRow("truncated PNG") << QStringLiteral("cut.png") << png(white).left(60) << false;
        QTest::newRow("missing file") << QStringLiteral("missing.png") << QByteArray() << false;
    }

    void failures()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(bool, noText);
        const QString path = m_dir.filePath(name);
        if (!content.isEmpty()) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(content);
        }
        const Outcome<QString> text = Translation::recognizeFile(path);
        QVERIFY(!text.ok());
        if (noText) {
            QVERIFY(text.error().isAppFailure());
            QCOMPARE(text.error().description(), L::t(QStringLiteral("没有识别到文字，请框选更清晰的区域。")));
        } else {
            QCOMPARE(text.error().kind(), Error::Kind::System);
            QVERIFY2(text.error().description().contains(path), qPrintable(text.error().description()));
        }
    }

    // An 8K capture (8192 × 4320, more than Qt decodes by default) is read; beyond the stated limit the image
    // is refused from its header alone, before anything is decoded.
    void largeCaptures()
    {
        QImage eightK(8192, 4320, QImage::Format_RGB32);
        eightK.fill(Qt::white);
        const QString large = saved(eightK, m_dir, QStringLiteral("8k"));
        eightK = QImage();
        const Outcome<QString> blank = Translation::recognizeFile(large);
        QVERIFY(!blank.ok());
        QCOMPARE(blank.error().description(), L::t(QStringLiteral("没有识别到文字，请框选更清晰的区域。")));

        const QString huge = m_dir.filePath(QStringLiteral("huge.png"));
        QFile file(huge);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(pngHeader(15000, 15000));
        file.close();
        const Outcome<QString> refused = Translation::recognizeFile(huge);
        QVERIFY(!refused.ok());
        QVERIFY(refused.error().isAppFailure());
        QCOMPARE(refused.error().description(),
                 L::t(QStringLiteral("图片 %1 过大，无法识别（%2 × %3 像素，上限为 %4 百万像素）。"))
                     .arg(huge, QStringLiteral("15000"), QStringLiteral("15000"), QStringLiteral("150")));
    }

    void worksWithTheInstalledSubset_data()
    {
        QTest::addColumn<QStringList>("models");
        QTest::addColumn<QStringList>("codes");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");

        QTest::newRow("English alone") << QStringList{QStringLiteral("eng"), QStringLiteral("osd")}
                                       << QStringList{QStringLiteral("en-US")}
                                       << QStringLiteral("Keep reading and stay curious.")
                                       << QStringLiteral("Keep reading and stay curious.");
        QTest::newRow("French and Korean") << QStringList{QStringLiteral("kor"), QStringLiteral("fra")}
                                           << QStringList{QStringLiteral("fr-FR"), QStringLiteral("ko-KR")}
                                           << QStringLiteral("La curiosité ouvre de nouvelles portes.")
                                           << QStringLiteral("La curiosité ouvre de nouvelles portes.");
        QTest::newRow("Korean among French and Korean")
            << QStringList{QStringLiteral("kor"), QStringLiteral("fra")}
            << QStringList{QStringLiteral("fr-FR"), QStringLiteral("ko-KR")}
            << QStringLiteral("새로운 세상을 발견하세요.") << QStringLiteral("새로운 세상을 발견하세요.");
        QTest::newRow("traditional Chinese alone reads Chinese")
            << QStringList{QStringLiteral("chi_tra"), QStringLiteral("osd")} << QStringList{QStringLiteral("zh-Hant")}
            << QStringLiteral("保持好奇，发现新的世界。") << QStringLiteral("世界");
    }

    void worksWithTheInstalledSubset()
    {
        QFETCH(QStringList, models);
        QFETCH(QStringList, codes);
        QFETCH(QString, text);
        QFETCH(QString, expected);
        RecognitionLanguages::setDataPath(subsetOf(m_dir, QString::fromLatin1(QTest::currentDataTag()), models));
        QCOMPARE(Translation::supportedLanguages(), codes);
        const QString path = saved(draw(Drawing{{text}}), m_dir, QStringLiteral("subset"));
        const Outcome<QString> read = Translation::recognizeFile(path);
        if (!read.ok()) {
            QFAIL(qPrintable(read.error().description()));
        }
        QVERIFY2(read.value().contains(expected), qPrintable(read.value()));
    }

    void withoutAnyLanguageDataTheFolderIsNamed()
    {
        const QString folder = subsetOf(m_dir, QStringLiteral("only-osd"), {QStringLiteral("osd")});
        RecognitionLanguages::setDataPath(folder);
        QCOMPARE(Translation::supportedLanguages(), QStringList());
        const QString path = saved(draw(Drawing{{QStringLiteral("Keep reading")}}), m_dir, QStringLiteral("nodata"));
        const Outcome<QString> read = Translation::recognizeFile(path);
        QVERIFY(!read.ok());
        QCOMPARE(read.error().kind(), Error::Kind::System);
        QVERIFY2(read.error().description().contains(folder), qPrintable(read.error().description()));
    }

    void prepareLoadsAheadOrNamesBrokenData_data()
    {
        QTest::addColumn<QStringList>("models"); // linked from the installed data
        QTest::addColumn<QStringList>("broken"); // empty data files
        QTest::addColumn<QStringList>("codes");
        QTest::addColumn<QString>("failure"); // what the failure names; empty: none

        QTest::newRow("installed languages")
            << QStringList{QStringLiteral("fra"), QStringLiteral("kor")} << QStringList()
            << QStringList{QStringLiteral("en-US"), QStringLiteral("ko-KR")} << QString();
        QTest::newRow("languages not installed are passed over")
            << QStringList{QStringLiteral("kor")} << QStringList()
            << QStringList{QStringLiteral("ja-JP"), QStringLiteral("zh-Hant")} << QString();
        QTest::newRow("broken data") << QStringList{QStringLiteral("kor")} << QStringList{QStringLiteral("jpn")}
                                     << QStringList{QStringLiteral("ko-KR"), QStringLiteral("ja-JP")}
                                     << QStringLiteral("jpn.traineddata");
    }

    void prepareLoadsAheadOrNamesBrokenData()
    {
        QFETCH(QStringList, models);
        QFETCH(QStringList, broken);
        QFETCH(QStringList, codes);
        QFETCH(QString, failure);
        const QString folder =
            subsetOf(m_dir, QStringLiteral("prepare-") + QString::fromLatin1(QTest::currentDataTag()), models);
        for (const QString& model : broken) {
            QFile empty(QDir(folder).filePath(model + QStringLiteral(".traineddata")));
            QVERIFY(empty.open(QIODevice::WriteOnly));
        }
        RecognitionLanguages::setDataPath(folder);
        const Outcome<void> prepared = Translation::prepare(codes);
        if (failure.isEmpty()) {
            QVERIFY2(prepared.ok(), qPrintable(prepared.error().description()));
        } else {
            QVERIFY(!prepared.ok());
            QVERIFY2(prepared.error().description().contains(failure), qPrintable(prepared.error().description()));
        }
    }

    void severalThreadsAtOnce()
    {
        const QList<QPair<QString, QString>> samples = {
            {QStringLiteral("Keep reading and stay curious."), QStringLiteral("Keep reading and stay curious.")},
            {QStringLiteral("保持好奇，发现新的世界。"), QStringLiteral("保持好奇，发现新的世界。")},
            {QStringLiteral("新しい世界を見つけましょう。"), QStringLiteral("新しい世界を見つけましょう。")},
            {QStringLiteral("새로운 세상을 발견하세요."), QStringLiteral("새로운 세상을 발견하세요.")},
        };
        QStringList paths;
        for (qsizetype i = 0; i < samples.size(); ++i) {
            paths.append(saved(draw(Drawing{{samples[i].first}}), m_dir, QStringLiteral("thread-%1").arg(i)));
        }
        std::atomic<int> right{0};
        std::vector<QString> wrong(samples.size());
        std::vector<std::thread> threads;
        for (qsizetype i = 0; i < samples.size(); ++i) {
            threads.emplace_back([&, i] {
                for (int round = 0; round < 3; ++round) {
                    // Each thread reads every sample, starting at its own, so different models run at once.
                    const qsizetype k = (i + round) % samples.size();
                    const Outcome<QString> text = Translation::recognizeFile(paths[k]);
                    if (text.ok() && text.value() == samples[k].second) {
                        ++right;
                    } else {
                        wrong[i] = text.ok() ? text.value() : text.error().description();
                    }
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        for (const QString& w : wrong) {
            QVERIFY2(w.isEmpty(), qPrintable(w));
        }
        QCOMPARE(right.load(), int(samples.size()) * 3);
    }

    void asynchronousResultArrivesOnTheCallingThread()
    {
        const QString path = saved(draw(Drawing{{QStringLiteral("Keep reading")}}), m_dir, QStringLiteral("async"));
        RecognitionWorker worker;
        worker.warmUp({QStringLiteral("en-US"), QStringLiteral("zh-Hans")}); // a capture goes ahead of warming up
        int calls = 0;
        bool insideCall = true;
        QThread* deliveredOn = nullptr;
        QString text;
        worker.recognize(path, [&](Outcome<QString> outcome) {
            ++calls;
            deliveredOn = QThread::currentThread();
            QVERIFY(!insideCall);
            text = outcome.ok() ? outcome.value() : outcome.error().description();
        });
        insideCall = false;
        QVERIFY(QTest::qWaitFor([&] { return calls > 0; }, 30'000));
        QCOMPARE(deliveredOn, QThread::currentThread());
        QCOMPARE(text, QStringLiteral("Keep reading"));
        QTest::qWait(50);
        QCOMPARE(calls, 1);
    }

    void cancelledRecognitionEndsCancelledOnce()
    {
        const QString path = saved(draw(Drawing{{QStringLiteral("Restart the application to apply the new settings."),
                                                 QStringLiteral("Keep reading and stay curious.")}}),
                                   m_dir, QStringLiteral("cancel"));
        RecognitionWorker worker;
        QList<Outcome<QString>> first;
        Cancellation handle = worker.recognize(path, [&](Outcome<QString> outcome) { first.append(outcome); });
        handle.cancel();
        QVERIFY(first.isEmpty()); // never ended from inside cancel()
        handle.cancel();
        QVERIFY(QTest::qWaitFor([&] { return !first.isEmpty(); }, 30'000));
        QTest::qWait(300); // the worker's own late result must not be delivered as a second end
        QCOMPARE(first.size(), 1);
        QVERIFY(first.first().error().isCancelled());

        // The worker is free again for the next capture.
        QString second;
        worker.recognize(path, [&](Outcome<QString> outcome) {
            second = outcome.ok() ? outcome.value() : outcome.error().description();
        });
        QVERIFY(QTest::qWaitFor([&] { return !second.isEmpty(); }, 30'000));
        QCOMPARE(second,
                 QStringLiteral("Restart the application to apply the new settings.\nKeep reading and stay curious."));
    }
};

QTEST_MAIN(TestRecognition)
#include "tst_recognition.moc"
