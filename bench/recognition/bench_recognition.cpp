// Measures text recognition against its floor: the same one-line image (two columns for the vertical scripts) read
// through the plain Tesseract API told the right language and layout, with the engine loaded once and one OpenMP
// level. Both run side by side in one process, alternating, so a busy machine slows both alike; the report gives the
// ratio per script in CPU time and in wall time, warm (engines loaded) and cold (the first read in a fresh process,
// loading included, also on desktops in traditional and in simplified Chinese), what telling columns from rows costs
// per image, how many lines and columns of an accuracy set read exactly, and the resident memory our recognition
// adds once it has read every script.
//
//   bench_recognition [--rounds N]     the whole report
//   bench_recognition --accuracy       only the count of lines and columns read exactly
//   bench_recognition --detection      only the cost of telling columns from rows
//   bench_recognition --repeat ROW N   (for callgrind) N reads of one row, nothing else timed
//   bench_recognition --cold ROW SIDE  (internal) one cold read in this process; SIDE is "ours" or "floor"
//   bench_recognition --memory ROWS    (internal) megabytes our recognition adds reading ROWS ("01245")

#include "recognition/Columns.h"
#include "recognition/LineBands.h"
#include "recognition/RecognitionLanguages.h"
#include "recognition/Translation.h"
#include "selftest/Fixture.h"
#include "support/DrawnText.h"
#include "support/Measure.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QPainter>
#include <QProcess>
#include <QProcessEnvironment>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <leptonica/allheaders.h>
#include <memory>
#include <omp.h>
#include <string>
#include <tesseract/baseapi.h>
#include <vector>

using namespace quilvant;

using namespace quilvant::bench;

namespace {

struct Row
{
    const char* name;
    const char* text;  // columns right to left, one to a line, when vertical
    const char* model; // what the floor is told
    bool vertical = false;
    const char* family = nullptr; // vertical rows: the face they are drawn in
};

const Row kRows[] = {
    {"English", "Keep reading and stay curious.", "eng"},
    {"French", "La curiosité ouvre de nouvelles portes.", "fra"},
    {"Chinese", "保持好奇，发现新的世界。", "chi_sim"},
    {"Trad.", "保持好奇，發現新的世界。", "chi_tra"},
    {"Japanese", "新しい世界を見つけましょう。", "jpn"},
    {"Korean", "새로운 세상을 발견하세요.", "kor"},
    {"V.Japan.", "新しい世界を見つけましょう。\n明日は晴れるでしょう。", "jpn_vert", true, "Noto Sans CJK JP"},
    {"V.Chin.", "保持好奇，发现新的世界。\n这个国家的经济发展很快。", "chi_sim_vert", true, "Noto Sans CJK SC"},
    {"V.Trad.", "保持好奇，發現新的世界。\n請選擇要翻譯的區域", "chi_tra_vert", true, "Noto Sans CJK TC"},
};
constexpr int kRowCount = int(std::size(kRows));
constexpr int kTraditionalRow = 3;
const char* const kFiveScripts = "01245"; // the rows whose engines the memory figure covers

QImage drawn(const Row& row)
{
    if (!row.vertical) {
        return Fixture::draw(QString::fromUtf8(row.text), QSize(1500, 180), QPointF(35, 65), 44);
    }
    return test::draw(
        {QString::fromUtf8(row.text).split(QLatin1Char('\n')), 20, QString::fromLatin1(row.family), false, true});
}

QString written(const QImage& image)
{
    const Outcome<QString> path = Fixture::write(image, QStringLiteral("bench-ocr-"));
    if (!path) {
        std::fprintf(stderr, "%s\n", qPrintable(path.error().description()));
        std::exit(2);
    }
    return path.value();
}

QString fixture(int row)
{
    return written(drawn(kRows[row]));
}

double cpuMilliseconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

double median(std::vector<double> values)
{
    if (values.empty()) {
        return -1;
    }
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The floor: Tesseract's own API told the language, as a program that knows it would call it.
class Floor
{
public:
    explicit Floor(const char* model, bool vertical = false)
        : m_mode(vertical ? tesseract::PSM_SINGLE_BLOCK_VERT_TEXT : tesseract::PSM_SINGLE_LINE)
    {
        const std::vector<std::string> names = {"debug_file"};
        const std::vector<std::string> values = {"/dev/null"};
        const QByteArray folder = RecognitionLanguages::dataPath().toLocal8Bit();
        m_ok = m_api.Init(folder.constData(), model, tesseract::OEM_LSTM_ONLY, nullptr, 0, &names, &values, false) == 0;
    }

    QString read(const QString& path)
    {
        if (!m_ok) {
            return {};
        }
        Pix* pix = pixRead(QFile::encodeName(path).constData());
        m_api.SetPageSegMode(m_mode);
        m_api.SetImage(pix);
        char* text = m_api.GetUTF8Text();
        QString result = QString::fromUtf8(text).trimmed();
        delete[] text;
        m_api.Clear();
        pixDestroy(&pix);
        return result;
    }

private:
    tesseract::TessBaseAPI m_api;
    tesseract::PageSegMode m_mode;
    bool m_ok = false;
};

struct Sample
{
    double wall = 0;
    double cpu = 0;
    bool right = false;
};

template <typename Read>
Sample timed(const Row& row, Read&& read)
{
    QElapsedTimer timer;
    const double cpuBefore = cpuMilliseconds();
    timer.start();
    const QString text = read();
    Sample sample;
    sample.wall = double(timer.nsecsElapsed()) / 1e6;
    sample.cpu = cpuMilliseconds() - cpuBefore;
    sample.right = text == QString::fromUtf8(row.text);
    return sample;
}

QString ours(const QString& path)
{
    const Outcome<QString> text = Translation::recognizeFile(path);
    return text ? text.value() : QStringLiteral("(%1)").arg(text.error().description());
}

int coldChild(int row, const QString& side)
{
    const QString path = fixture(row);
    std::unique_ptr<Floor> floor;
    const Sample sample = timed(kRows[row], [&] {
        if (side == QLatin1String("floor")) {
            floor = std::make_unique<Floor>(kRows[row].model, kRows[row].vertical);
            return floor->read(path);
        }
        return ours(path);
    });
    QFile::remove(path);
    std::printf("%.2f %.2f %d\n", sample.wall, sample.cpu, sample.right ? 1 : 0);
    return 0;
}

int memoryChild(const QString& rows)
{
    QStringList paths;
    for (const QChar row : rows) {
        paths.append(fixture(row.digitValue()));
    }
    const double before = residentMegabytes();
    for (const QString& path : paths) {
        ours(path);
        QFile::remove(path);
    }
    std::printf("%.1f\n", residentMegabytes() - before);
    return 0;
}

int repeat(int row, int times)
{
    const QString path = fixture(row);
    for (int i = 0; i < times; ++i) {
        ours(path);
    }
    QFile::remove(path);
    return 0;
}

Sample coldInFreshProcess(int row, const char* side, const QString& language = QString())
{
    QProcess child;
    if (!language.isEmpty()) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("LC_ALL"), language);
        child.setProcessEnvironment(environment);
    }
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--cold"), QString::number(row), QString::fromLatin1(side)});
    child.waitForFinished(120'000);
    const QList<QByteArray> fields = child.readAllStandardOutput().trimmed().split(' ');
    if (fields.size() != 3) {
        return {-1, -1, false};
    }
    return {fields[0].toDouble(), fields[1].toDouble(), fields[2] == "1"};
}

double memoryInFreshProcess(const char* rows)
{
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--memory"), QString::fromLatin1(rows)});
    child.waitForFinished(300'000);
    return child.readAllStandardOutput().trimmed().toDouble();
}

struct Side
{
    std::vector<double> wall, cpu;
    int right = 0;

    void add(const Sample& sample)
    {
        wall.push_back(sample.wall);
        cpu.push_back(sample.cpu);
        right += sample.right ? 1 : 0;
    }
};

// Lines of each script drawn at interface sizes in a sans and a serif face, light and dark, read in turn so that each
// capture follows one in another script; and columns of the vertical scripts. Counts the lines read exactly.
struct AccuracySet
{
    const char* name;
    const char* sans;
    const char* serif;
    std::vector<const char*> lines;
};

const AccuracySet kAccuracy[] = {
    {"English",
     "DejaVu Sans",
     "DejaVu Serif",
     {"Keep reading and stay curious.", "Restart the application to apply the new settings.",
      "The file could not be saved because the disk is full.", "Select the area you want to translate.",
      "Your changes have been saved.", "Open the settings to choose another language.",
      "Download complete: 3 files, 24 MB.", "Please check your network connection and try again."}},
    {"French",
     "DejaVu Sans",
     "DejaVu Serif",
     {"La curiosité ouvre de nouvelles portes.", "Où est le garçon ? Il a déjà mangé.",
      "Redémarrez l'application pour appliquer les réglages.", "Le fichier n'a pas pu être enregistré.",
      "Sélectionnez la zone à traduire.", "Vos modifications ont été enregistrées.",
      "Vérifiez votre connexion et réessayez.", "Très bien, à demain matin !"}},
    {"Chinese",
     "Noto Sans CJK SC",
     "Noto Serif CJK SC",
     {"保持好奇，发现新的世界。", "这个国家的经济发展很快。", "请选择要翻译的区域", "设置已保存，需要重新启动。",
      "文件无法保存，因为磁盘已满。", "请检查网络连接后重试。", "我们明天早上见面吧。", "下载完成，共三个文件。"}},
    {"Trad.",
     "Noto Sans CJK TC",
     "Noto Serif CJK TC",
     {"保持好奇，發現新的世界。", "這個國家的經濟發展很快。", "請選擇要翻譯的區域", "設定已儲存，需要重新啟動。",
      "檔案無法儲存，因為磁碟已滿。", "請檢查網路連線後重試。", "我們明天早上見面吧。", "下載完成，共三個檔案。"}},
    {"Japanese",
     "Noto Sans CJK JP",
     "Noto Serif CJK JP",
     {"新しい世界を見つけましょう。", "明日は晴れるでしょう。", "設定を保存しました。",
      "翻訳する範囲を選択してください。", "ファイルを保存できませんでした。", "ネットワーク接続を確認してください。",
      "吾輩は猫である。名前はまだ無い。", "ダウンロードが完了しました。"}},
    {"Korean",
     "Noto Sans CJK KR",
     "Noto Serif CJK KR",
     {"새로운 세상을 발견하세요.", "설정이 저장되었습니다.", "번역할 영역을 선택하세요.", "파일을 저장할 수 없습니다.",
      "네트워크 연결을 확인하세요.", "내일 아침에 만나요.", "다운로드가 완료되었습니다.", "오늘 날씨가 정말 좋네요."}},
};
constexpr int kAccuracySizes[] = {14, 16, 20, 24};

struct Case
{
    int set;
    test::DrawnText text;
};

void countRight(const char* title, const std::vector<Case>& cases, int sets)
{
    const bool misses = qEnvironmentVariableIsSet("QUILVANT_BENCH_MISSES"); // name each line not read exactly
    std::vector<int> right(size_t(sets), 0), total(size_t(sets), 0);
    std::vector<double> cpu;
    for (const Case& c : cases) {
        const QString path = written(test::draw(c.text));
        const double before = cpuMilliseconds();
        const QString text = ours(path);
        cpu.push_back(cpuMilliseconds() - before);
        QFile::remove(path);
        ++total[size_t(c.set)];
        const QString expected = c.text.lines.join(QLatin1Char('\n'));
        right[size_t(c.set)] += text == expected ? 1 : 0;
        if (text != expected && misses) {
            std::printf("  miss %s %dpx %s%s: %s -> %s\n", kAccuracy[c.set].name, c.text.pixelSize,
                        qPrintable(c.text.family), c.text.dark ? " dark" : "", qPrintable(expected), qPrintable(text));
        }
    }
    int all = 0;
    std::printf("%s, lines read exactly:", title);
    for (int set = 0; set < sets; ++set) {
        if (total[size_t(set)] > 0) {
            std::printf(" %s %d/%d", kAccuracy[set].name, right[size_t(set)], total[size_t(set)]);
            all += right[size_t(set)];
        }
    }
    std::printf("; all %d/%d; CPU per read %.1f ms median\n", all, int(cases.size()), median(cpu));
    std::fflush(stdout);
}

// What telling columns from rows costs per image, beside the line finding every read does anyway: the median CPU time
// of many runs on each row's image, and on a full-HD capture of a page of text.
void detectionCost()
{
    const auto perImage = [](const QImage& image) {
        QImage grey = LineBands::normalized(image.convertToFormat(QImage::Format_Grayscale8));
        const QList<LineBands::Band> bands = LineBands::findLines(grey);
        std::vector<double> lines, columns;
        int found = 0;
        for (int i = 0; i < 200; ++i) {
            double before = cpuMilliseconds();
            QImage copy = grey;
            LineBands::findLines(copy);
            lines.push_back(cpuMilliseconds() - before);
            before = cpuMilliseconds();
            found = int(Columns::findVertical(grey, bands).size());
            columns.push_back(cpuMilliseconds() - before);
        }
        return QStringLiteral("%1x%2 columns %3 µs (lines %4 µs, %5 columns)")
            .arg(image.width())
            .arg(image.height())
            .arg(median(columns) * 1000, 0, 'f', 1)
            .arg(median(lines) * 1000, 0, 'f', 1)
            .arg(found);
    };
    std::printf("Column detection, median CPU per image:\n");
    for (const Row& row : kRows) {
        std::printf("  %-9s %s\n", row.name, qPrintable(perImage(drawn(row))));
    }
    QStringList page;
    for (int i = 0; i < 40; ++i) {
        page.append(QStringLiteral("Restart the application to apply the new settings. 设置已保存，需要重新启动。"));
    }
    QImage screen(1920, 1080, QImage::Format_RGB32);
    screen.fill(Qt::white);
    {
        QPainter painter(&screen);
        painter.drawImage(0, 0, test::draw({page, 16, QString(), false, false, 1.5}));
    }
    std::printf("  %-9s %s\n", "Full HD", qPrintable(perImage(screen)));
    std::fflush(stdout);
}

void accuracy()
{
    std::vector<Case> rows;
    for (const int size : kAccuracySizes) {
        for (const bool dark : {false, true}) {
            for (const bool serif : {false, true}) {
                for (size_t line = 0; line < 8; ++line) {
                    for (int set = 0; set < int(std::size(kAccuracy)); ++set) {
                        const AccuracySet& a = kAccuracy[set];
                        rows.push_back({set,
                                        {{QString::fromUtf8(a.lines[line])},
                                         size,
                                         QString::fromLatin1(serif ? a.serif : a.sans),
                                         dark}});
                    }
                }
            }
        }
    }
    countRight("Rows", rows, int(std::size(kAccuracy)));
    std::vector<Case> columns;
    for (const int size : {14, 16, 18, 20}) {
        for (const bool dark : {false, true}) {
            for (size_t line = 0; line + 1 < 8; line += 2) {
                for (const int set : {2, 3, 4}) {
                    const AccuracySet& a = kAccuracy[set];
                    const QStringList both = {QString::fromUtf8(a.lines[line]), QString::fromUtf8(a.lines[line + 1])};
                    columns.push_back({set, {{both.first()}, size, QString::fromLatin1(a.sans), dark, true}});
                    columns.push_back({set, {both, size, QString::fromLatin1(a.serif), dark, true}});
                }
            }
        }
    }
    countRight("Columns", columns, int(std::size(kAccuracy)));
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QGuiApplication application(argc, argv);
    omp_set_max_active_levels(0); // the floor's one OpenMP level; ours sets its own
    const QStringList arguments = application.arguments();
    if (arguments.size() == 4 && arguments[1] == QLatin1String("--cold")) {
        return coldChild(arguments[2].toInt(), arguments[3]);
    }
    if (arguments.size() == 3 && arguments[1] == QLatin1String("--memory")) {
        return memoryChild(arguments[2]);
    }
    if (arguments.size() == 2 && arguments[1] == QLatin1String("--accuracy")) {
        accuracy();
        return 0;
    }
    if (arguments.size() == 2 && arguments[1] == QLatin1String("--detection")) {
        detectionCost();
        return 0;
    }
    if (arguments.size() == 4 && arguments[1] == QLatin1String("--repeat")) {
        return repeat(arguments[2].toInt(), arguments[3].toInt());
    }
    int rounds = 20;
    if (const qsizetype at = arguments.indexOf(QStringLiteral("--rounds")); at > 0 && at + 1 < arguments.size()) {
        rounds = std::max(3, arguments[at + 1].toInt());
    }
    const int coldRounds = std::max(3, rounds / 5);

    std::printf("Median per read of %d warm reads and %d cold processes (the first read, loading included); "
                "ratio = ours / floor\n",
                rounds, coldRounds);
    std::printf("%-9s %27s %27s %27s %27s %s\n", "", "warm CPU ms: floor ours x", "warm wall ms: floor ours x",
                "cold CPU ms: floor ours x", "cold wall ms: floor ours x", "right: ours floor cold");
    const auto columns = [](const std::vector<double>& floorTimes, const std::vector<double>& ourTimes) {
        const double floorMs = median(floorTimes);
        const double ourMs = median(ourTimes);
        return QStringLiteral("%1 %2 %3")
            .arg(floorMs, 10, 'f', 1)
            .arg(ourMs, 8, 'f', 1)
            .arg(ourMs / floorMs, 7, 'f', 2);
    };
    for (int row = 0; row < kRowCount; ++row) {
        const QString path = fixture(row);
        Floor floor(kRows[row].model, kRows[row].vertical);
        floor.read(path);
        ours(path); // loads this row's engines
        Side floorWarm, oursWarm;
        for (int i = 0; i < rounds; ++i) {
            floorWarm.add(timed(kRows[row], [&] { return floor.read(path); }));
            oursWarm.add(timed(kRows[row], [&] { return ours(path); }));
        }
        QFile::remove(path);
        Side floorCold, oursCold;
        for (int i = 0; i < coldRounds; ++i) {
            floorCold.add(coldInFreshProcess(row, "floor"));
            oursCold.add(coldInFreshProcess(row, "ours"));
        }
        std::printf(
            "%-9s %27s %27s %27s %27s %5d/%d %2d/%d %2d/%d\n", kRows[row].name,
            qPrintable(columns(floorWarm.cpu, oursWarm.cpu)), qPrintable(columns(floorWarm.wall, oursWarm.wall)),
            qPrintable(columns(floorCold.cpu, oursCold.cpu)), qPrintable(columns(floorCold.wall, oursCold.wall)),
            oursWarm.right, rounds, floorWarm.right, rounds, oursCold.right, coldRounds);
        std::fflush(stdout);
    }
    // Traditional Chinese read cold on a desktop in traditional and in simplified Chinese.
    for (const auto& [name, locale] : {std::pair{"Trad.zhTW", "zh_TW.UTF-8"}, std::pair{"Trad.zhCN", "zh_CN.UTF-8"}}) {
        Side floorCold, oursCold;
        for (int i = 0; i < coldRounds; ++i) {
            floorCold.add(coldInFreshProcess(kTraditionalRow, "floor", QString::fromLatin1(locale)));
            oursCold.add(coldInFreshProcess(kTraditionalRow, "ours", QString::fromLatin1(locale)));
        }
        std::printf("%-9s %27s %27s %27s %27s %17d/%d\n", name, "", "",
                    qPrintable(columns(floorCold.cpu, oursCold.cpu)),
                    qPrintable(columns(floorCold.wall, oursCold.wall)), oursCold.right, coldRounds);
    }
    // Every capture in another script than the one before, so that no reading can follow the last one's script.
    {
        std::vector<std::unique_ptr<Floor>> floors;
        QStringList paths;
        for (int row = 0; row < kRowCount; ++row) {
            floors.push_back(std::make_unique<Floor>(kRows[row].model, kRows[row].vertical));
            paths.append(fixture(row));
        }
        const int turn[] = {0, 2, 4, 5, 1, 3}; // English, Chinese, Japanese, Korean, French, traditional
        Side floorSide, oursSide;
        for (int i = 0; i < rounds; ++i) {
            for (const int row : turn) {
                floorSide.add(timed(kRows[row], [&] { return floors[size_t(row)]->read(paths[row]); }));
                oursSide.add(timed(kRows[row], [&] { return ours(paths[row]); }));
            }
        }
        for (const QString& path : paths) {
            QFile::remove(path);
        }
        std::printf("%-9s %27s %27s %59s %5d/%d %2d/%d\n", "Switching",
                    qPrintable(columns(floorSide.cpu, oursSide.cpu)),
                    qPrintable(columns(floorSide.wall, oursSide.wall)), "", oursSide.right, int(oursSide.cpu.size()),
                    floorSide.right, int(floorSide.cpu.size()));
    }
    detectionCost();
    accuracy();
    std::printf("Resident memory our recognition adds: %.1f MB after English, French, Chinese, Japanese and Korean; "
                "%.1f MB after all six rows\n",
                memoryInFreshProcess(kFiveScripts), memoryInFreshProcess("012345"));
    return 0;
}
