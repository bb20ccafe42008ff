// The history's costs: a search over 10,000 kept translations of mixed scripts (through the index for words of
// three characters or more, by scanning for shorter ones), and what keeping a translation adds to its
// completion on the GUI thread.

#include "foundation/Settings.h"
#include "history/History.h"
#include "history/HistoryStore.h"
#include "session/Model.h"
#include "session/ScriptedEngines.h"
#include "session/TranslationConsent.h"
#include "support/Measure.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>

using namespace Qt::StringLiterals;
using namespace quilvant;
using namespace quilvant::bench;

namespace {

constexpr int entries = 10000;

// Sentences of words drawn from a few scripts, the same on every run.
QString sentence(QRandomGenerator& random, int words)
{
    static const QStringList pool{
        u"the"_s,     u"world"_s, u"translation"_s, u"weather"_s, u"morning"_s, u"station"_s,    u"世界"_s,
        u"天气"_s,    u"今天"_s,  u"翻译"_s,        u"朋友"_s,    u"火车站"_s,  u"こんにちは"_s, u"ありがとう"_s,
        u"東京"_s,    u"電車"_s,  u"안녕하세요"_s,  u"여러분"_s,  u"서울"_s,    u"привет"_s,     u"мир"_s,
        u"bonjour"_s, u"monde"_s, u"Straße"_s,      u"café"_s,    u"numéro"_s,  u"学生"_s,       u"图书馆"_s,
    };
    QStringList chosen;
    for (int i = 0; i < words; ++i) {
        chosen << pool[static_cast<qsizetype>(random.bounded(static_cast<quint32>(pool.size())))] +
                      QString::number(random.bounded(50U));
    }
    return chosen.join(u' ');
}

void measureSearch(HistoryStore& store, const char* what, const QStringList& queries, int rounds)
{
    std::vector<double> wall;
    std::vector<double> cpu;
    qsizetype found = 0;
    for (int round = 0; round < rounds; ++round) {
        const QString& query = queries[round % queries.size()];
        QElapsedTimer timer;
        const double cpuBefore = cpuSeconds();
        timer.start();
        // As the window asks: the newest 1,000 matches.
        const Outcome<HistoryEntries> result = store.search(query, 1000);
        wall.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
        cpu.push_back((cpuSeconds() - cpuBefore) * 1000.0);
        if (!result) {
            std::printf("search failed: %s\n", qPrintable(result.error().description()));
            return;
        }
        found += result.value().size();
    }
    report(what, wall, cpu, 2);
    std::printf("  (%.1f entries found per search)\n", static_cast<double>(found) / rounds);
}

// The GUI thread's share of completing a translation: from the engine's final text to the model's signal
// having been handled.
std::vector<double> completions(Model& model, test::ScriptedEngines& engines, int rounds)
{
    std::vector<double> wall;
    for (int round = 0; round < rounds; ++round) {
        model.setSource(u"sentence %1 to translate"_s.arg(round));
        model.translate();
        const qsizetype before = engines.calls.size();
        if (!QTest::qWaitFor([&] { return engines.calls.size() > before; }, 5000)) {
            std::printf("the translation did not reach the engine\n");
            return wall;
        }
        QElapsedTimer timer;
        timer.start();
        engines.calls.last().finish(u"译文 %1"_s.arg(round));
        wall.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
    }
    return wall;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    QTemporaryDir dir;
    qputenv("XDG_CONFIG_HOME", dir.filePath(u"config"_s).toUtf8());

    {
        HistoryStore store(dir.filePath(u"history.sqlite"_s));
        QRandomGenerator random(20);
        QElapsedTimer filling;
        filling.start();
        const double cpuBefore = cpuSeconds();
        for (int i = 0; i < entries; ++i) {
            const Outcome<qint64> added = store.add({QDateTime::currentDateTimeUtc(), sentence(random, 12),
                                                     sentence(random, 12), u"zh-Hans"_s, EngineKind::Hosted});
            if (!added) {
                std::printf("add failed: %s\n", qPrintable(added.error().description()));
                return 1;
            }
        }
        std::printf("kept %d entries: %.2f ms each, CPU %.2f ms each\n", entries,
                    static_cast<double>(filling.elapsed()) / entries, (cpuSeconds() - cpuBefore) * 1000.0 / entries);
        const int rounds = 300;
        measureSearch(store, "search, Latin (index)",
                      {u"translation"_s, u"numéro7"_s, u"Straße"_s, u"weather12"_s, u"morning station"_s}, rounds);
        measureSearch(store, "search, Chinese (index)", {u"火车站"_s, u"图书馆12"_s, u"学生3"_s, u"世界7"_s}, rounds);
        measureSearch(store, "search, Japanese (index)", {u"こんにちは"_s, u"ありがとう"_s, u"東京7"_s}, rounds);
        measureSearch(store, "search, Korean (index)", {u"안녕하세요"_s, u"여러분"_s, u"서울12"_s}, rounds);
        measureSearch(store, "search, mixed words (index and scan)", {u"world3 世界"_s, u"привет 東京"_s}, rounds);
        measureSearch(store, "search, words of 1-2 characters (scan)",
                      {u"世界"_s, u"東京"_s, u"서울"_s, u"学"_s, u"天气"_s, u"st"_s}, rounds);
        measureSearch(store, "search, found nowhere (whole index, whole scan)", {u"xyzzy"_s, u"ζ"_s}, rounds);
        measureSearch(store, "no search: newest first", {QString()}, rounds);
    }

    {
        Settings::setOverride(Settings::Key::translationPrivacyConsent, TranslationConsent::marker);
        auto engines = std::make_shared<test::ScriptedEngines>();
        Model model(engines);
        const int rounds = 400;
        const std::vector<double> without = completions(model, *engines, rounds);
        History history(dir.filePath(u"recorded.sqlite"_s));
        history.follow(model);
        const std::vector<double> with = completions(model, *engines, rounds);
        std::printf("completion on the GUI thread, %d rounds: without history p50 %.3f ms p90 %.3f ms; "
                    "with history p50 %.3f ms p90 %.3f ms\n",
                    rounds, percentile(without, 0.5), percentile(without, 0.9), percentile(with, 0.5),
                    percentile(with, 0.9));
    }
    return 0;
}
