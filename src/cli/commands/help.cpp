// The help texts of kalvitrope-cli.
#include "cli/commands/help.h"

#include <array>

#include "cli/mouse_check.h"

namespace kv::cli {

const char* const kVersion = "kalvitrope-cli (Kalvitrope v1.1)\n";

const char* const kUsageHead = "usage: kalvitrope-cli COMMAND [OPTIONS]\n"
                               "\n"
                               "commands:\n";

const char* const kUsageTail =
    "\n"
    "kalvitrope-cli COMMAND --help shows a command's options; --version the program's version.\n"
    "\n"
    "every command also takes:\n";

const char* const kCommonOptions =
    "  --language CODE|FILE  the language of its messages: a code (de, en, fr, ...) or a\n"
    "                   strings file\n"
    "  --settings FILE  the desktop program's settings file; of it the keys that change what\n"
    "                   is computed apply:\n"
    "                     Preferences.ControlDataSampleRate, MillisecondsPerChunk,\n"
    "                     Preferences.OscillatorFrequencyMinimum,\n"
    "                     Preferences.DesiredOutputLatency, Preferences.DesiredInputLatency,\n"
    "                     Preferences.MouseOrigin.x, Preferences.MouseOrigin.y,\n"
    "                     Preferences.WrapMouseCursorAtScreenEdges,\n"
    "                     Preferences.AllowMouseInputAsAudioInput,\n"
    "                     and for play Preferences.AudioApi,\n"
    "                     Preferences.RealtimePriorityForMainThread and\n"
    "                     Preferences.MouseBackend (also for mouse-check)\n";

namespace {

constexpr const char* kPatchOptions =
    "  --patch FILE     a patch file (.kvc)\n"
    "  --preset NAME    a built-in preset, by resource number or name (see: kalvitrope-cli "
    "presets)\n";

constexpr const char* kEngineOption =
    "  --engine E       block (default): modules whose inputs hold still are computed over\n"
    "                   stretches of samples; reference: every sample module after module.\n"
    "                   Both give the same samples\n";

constexpr const char* kScriptOption =
    "  --script FILE    timed events, one per line: TIME COMMAND ARGS, where TIME is a sample\n"
    "                   index (48000 per second) or a number followed by ms or s, and COMMAND is\n"
    "                   cursor, button, wheel, midi, audioin, set, desktop, origin or rate;\n"
    "                   # starts a comment; a WAV file of audioin that is not found from the\n"
    "                   current folder is looked for beside the script. A gesture tape (a\n"
    "                   script recorded by the desktop program) plays on its own patch and,\n"
    "                   without --seconds, to its end\n";

struct CommandHelp {
    const char* name;
    const char* usage;
    const char* text;                   // what the command does
    std::array<const char*, 5> options; // its options, in pieces (the rest null)
};

const CommandHelp kCommands[] = {
    {"render",
     "kalvitrope-cli render (--patch FILE | --preset NAME) [--seconds S] [--script FILE]"
     " [--device N] [--format s16|s24|f32] [--engine block|reference] --out FILE.wav",
     "Runs the patch on a simulated clock and writes what one output device plays as a stereo\n"
     "48000 Hz WAV file, then prints the length, peak, RMS and real-time factor.\n",
     {kPatchOptions,
      "  --seconds S      length to render, 0 to 86400 seconds (default 10; without it\n"
      "                   a script's end line sets the length, within the same limit)\n",
      kScriptOption,
      "  --device N       the output device to record: -1 the default device (default),\n"
      "                   0 to 8 the sound-card outputs, numbered as in a patch's\n"
      "                   OutputDeviceID\n"
      "  --format F       how the WAV holds the samples: s16 (16-bit PCM, default),\n"
      "                   s24 (24-bit PCM) or f32 (32-bit float); the device plays\n"
      "                   16-bit samples, which the wider forms hold exactly\n"
      "  --out FILE.wav   the file to write; - writes the WAV to standard output\n",
      kEngineOption}},
    {"play",
     "kalvitrope-cli play (--patch FILE | --preset NAME) [--seconds S] [--api NAME]",
     "Plays the patch on the sound card in real time, then prints the start-up time, the late\n"
     "cycles and the output latency.\n",
     {kPatchOptions,
      "  --seconds S      how long to play (default 0: until interrupted with Ctrl+C)\n"
      "  --api NAME       the sound system: auto (the first with an output device;\n"
      "                   default), jack, pulse, alsa, or null (silent, no sound card);\n"
      "                   any case\n"}},
    {"probe",
     "kalvitrope-cli probe (--patch FILE | --preset NAME) [--script FILE] --samples N"
     " [--every K] [--engine block|reference] --row ROW...",
     "Prints CSV sample,row,voices,k,note,primary,primarySmoothed,velocity,velocitySmoothed: one\n"
     "line per voice of each row after samples 0, K, 2K, ... below N.\n",
     {kPatchOptions, kScriptOption,
      "  --samples N      how many samples to run\n"
      "  --every K        print every K-th sample (default 1)\n"
      "  --row ROW...     rows to print: a row number 0..154 (0..127 module output\n"
      "                   rows, 128..154 the mouse sources), or a module name with an\n"
      "                   optional @SUBTYPE choosing which of its output rows, as the\n"
      "                   ...SubType keys of a patch file do\n",
      kEngineOption}},
    {"kvc",
     "kalvitrope-cli kvc IN.kvc --out OUT.kvc",
     "Loads the patch file into modules and writes them back as a patch file.\n",
     {"  --out OUT.kvc    the patch file to write\n"}},
    {"presets",
     "kalvitrope-cli presets",
     "Lists the built-in presets in menu order, one a line: resource number, name and, in\n"
     "brackets, the presets submenu (or \"first-run demonstration\", or \"example\").\n",
     {}},
    {"mouse-check", kMouseCheckUsage, kMouseCheckHelp, {}},
};

} // namespace

std::string commandHelp(std::string_view name, bool withCommonOptions) {
    for (const CommandHelp& c : kCommands) {
        if (name != c.name) continue;
        std::string text = std::string("usage: ") + c.usage + "\n\n" + c.text + "\n";
        for (const char* piece : c.options)
            if (piece != nullptr) text += piece;
        return withCommonOptions ? text + kCommonOptions : text;
    }
    return {};
}

} // namespace kv::cli
