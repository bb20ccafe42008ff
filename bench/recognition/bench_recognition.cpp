// Measures text recognition against its floor: the same one-line image read through the plain Tesseract API told
// the right language, with the engine loaded once and one OpenMP level. Both run side by side in one process,
// alternating, so a busy machine slows both alike; the report gives the ratio per script in CPU time and in wall
// time, warm (engines loaded) and cold (the first read in a fresh process, loading included), and the resident
// memory our recognition adds once it has read every script.
//
//   bench_recognition [--rounds N]     the whole report
//   bench_recognition --repeat ROW N   (for callgrind) N reads of one row, nothing else timed
//   bench_recognition --cold ROW SIDE  (internal) one cold read in this process; SIDE is "ours" or "floor"
//   bench_recognition --memory ROWS    (internal) megabytes our recognition adds reading ROWS ("01245")

#include "recognition/RecognitionLanguages.h"
#include "recognition/Translation.h"
#include "selftest/Fixture.h"
#include "support/Measure.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
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
    const char* text;
    const char* model; // what the floor is told
};

const Row kRows[] = {
    {"English", "Keep reading and stay curious.", "eng"}, {"French", "La curiosité ouvre de nouvelles portes.", "fra"},
    {"Chinese", "保持好奇，发现新的世界。", "chi_sim"},   {"Trad.", "保持好奇，發現新的世界。", "chi_tra"},
    {"Japanese", "新しい世界を見つけましょう。", "jpn"},  {"Korean", "새로운 세상을 발견하세요.", "kor"},
};
constexpr int kRowCount = int(std::size(kRows));
constexpr int kTraditionalRow = 3;
const char* const kFiveScripts = "01245"; // the rows whose engines the memory figure covers

QString fixture(int row)
{
    const QImage image = Fixture::draw(QString::fromUtf8(kRows[row].text), QSize(1500, 180), QPointF(35, 65), 44);
    const Outcome<QString> path = Fixture::write(image, QStringLiteral("bench-ocr-"));
    if (!path) {
        std::fprintf(stderr, "%s\n", qPrintable(path.error().description()));
        std::exit(2);
    }
    return path.value();
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
    explicit Floor(const char* model)
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
        m_api.SetPageSegMode(tesseract::PSM_SINGLE_LINE);
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
            floor = std::make_unique<Floor>(kRows[row].model);
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
        Floor floor(kRows[row].model);
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
    // Traditional Chinese read first on a desktop in traditional Chinese: the cold row above pays for both models.
    {
        Side floorCold, oursCold;
        for (int i = 0; i < coldRounds; ++i) {
            floorCold.add(coldInFreshProcess(kTraditionalRow, "floor", QStringLiteral("zh_TW.UTF-8")));
            oursCold.add(coldInFreshProcess(kTraditionalRow, "ours", QStringLiteral("zh_TW.UTF-8")));
        }
        std::printf("%-9s %27s %27s %27s %27s %17d/%d\n", "Trad.zhTW", "", "",
                    qPrintable(columns(floorCold.cpu, oursCold.cpu)),
                    qPrintable(columns(floorCold.wall, oursCold.wall)), oursCold.right, coldRounds);
    }
    // Every capture in another script than the one before, so that no reading can follow the last one's script.
    {
        std::vector<std::unique_ptr<Floor>> floors;
        QStringList paths;
        for (int row = 0; row < kRowCount; ++row) {
            floors.push_back(std::make_unique<Floor>(kRows[row].model));
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
    std::printf("Resident memory our recognition adds: %.1f MB after English, French, Chinese, Japanese and Korean; "
                "%.1f MB after all six rows\n",
                memoryInFreshProcess(kFiveScripts), memoryInFreshProcess("012345"));
    return 0;
}
