#pragma once

#include "recognition/LineBands.h"

#include <QImage>
#include <QList>
#include <QStringList>

// The scripts recognition tells apart, each read by its own models, and two ways of telling them: from the ink
// before any model has read it, and from the letters a model read.
namespace quilvant::Scripts {

enum class Script
{
    Latin,
    Han,
    Japanese,
    Hangul,
    Unknown
};

// First guesses from the ink of `bands` in `grey` (normalized, dark on light), before any model has read it. A
// guess only says which model to try first: the reading decides.

// Whether the ink looks like Latin letters: most of it within half the line's height, where lower-case letters
// put it. Cheap enough for every capture. Capitals and digits fill the line as CJK characters do: they do not
// look Latin to this.
bool looksLatin(const QImage& grey, const QList<LineBands::Band>& bands);

// For ink that does not look Latin: Japanese or Hangul when common kana or Hangul syllables, drawn in a CJK font,
// are found in the line; otherwise Han, the weakest guess (small or serif type can hide kana and Hangul from this
// search, and capitals look like CJK). Well under a millisecond per line once the characters are drawn.
Script amongCjk(const QImage& grey, const QList<LineBands::Band>& bands);

// Which of the two Chinese scripts the ink of Han-looking lines shows more characters of, found among the same
// characters amongCjk() looks at, by common characters that the two scripts write differently (們 and 们, 這 and
// 这, …). A guess that saves a second read: the reading decides.
enum class HanForm
{
    Unknown,
    Simplified,
    Traditional
};

struct CjkGuess
{
    Script script = Script::Han;
    HanForm form = HanForm::Unknown; // only for Han
};

// amongCjk(), and for Han the HanForm as well. The characters that tell the Chinese scripts apart are drawn on the
// first Han line only: kana and Hangul lines never need them.
CjkGuess guessCjk(const QImage& grey, const QList<LineBands::Band>& bands);

// Draws what amongCjk() compares lines with on this thread, which the first CJK-looking line would otherwise do.
void prepare();

// The letters of some text, counted by script.
struct Letters
{
    int latin = 0;
    int han = 0;
    int kana = 0;
    int hangul = 0;
    int other = 0;

    int total() const { return latin + han + kana + hangul + other; }
    // The share of the letters that `script` writes: Japanese writes kana and Han. 0 without letters.
    double shareOf(Script script) const;
    // The script most letters belong to, Japanese when kana are among them; Unknown without letters.
    Script mostly() const;
};

Letters lettersOf(const QStringList& lines);

} // namespace quilvant::Scripts
