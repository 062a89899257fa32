// Decoding of definition strings: controls separated by "|", fields separated by ",", field 0
// the control kind. Fields that are missing or do not parse take their defaults.
#include <array>
#include <climits>

#include "modules/catalogue.h"
#include "persistence/text.h"
#include "persistence/values.h"

namespace kv {
namespace {

/// Kind names in lower case, in the order of ControlKind.
constexpr std::array<std::string_view, kKindCount> kKindNames = {
    "inputslider",  "simpleslider",      "soundoutput",      "soundinput",
    "controlinput", "frequency",         "checkbox",         "midiinput",
    "midisliders",  "sequence",          "wavewriter",       "analyser",
    "sensor",       "proportionflipper", "modulationeffect", "outputmode",
};

/// Cuts `text` at `separator`: returns what precedes it and leaves what follows it. Without a
/// separator the whole text is returned and nothing is left; when nothing is left every further
/// cut returns an empty field.
std::string_view cut(std::string_view& text, char separator) {
    const size_t at = text.find(separator);
    if (at == std::string_view::npos) {
        const std::string_view field = text;
        text = {};
        return field;
    }
    const std::string_view field = text.substr(0, at);
    text.remove_prefix(at + 1);
    return field;
}

int toInt(long v) {
    if (v < INT_MIN) return INT_MIN;
    if (v > INT_MAX) return INT_MAX;
    return static_cast<int>(v);
}

int integerField(std::string_view field, long def) {
    return toInt(parseInteger(field, def));
}

int decimalsField(std::string_view field) {
    return toInt(parseInteger(field, 0, 0, 9));
}

/// A field that is a language string id when made of digits only (empty gives 1023), else text.
IdOrText idOrText(std::string_view field) {
    if (field.find_first_not_of("0123456789") == std::string_view::npos)
        return {integerField(field, 1023), {}};
    return {-1, std::string(field)};
}

IdOrText literalText(std::string_view field) {
    return {-1, std::string(field)};
}

/// Decodes the fields after field 2 of one control, in order; `rest` holds them.
void decodeKindFields(ControlDef& c, std::string_view rest) {
    auto next = [&rest]() { return cut(rest, ','); };
    switch (c.kind) {
    case ControlKind::InputSlider:
        c.sourceKey = next();
        c.initialSource = toInt(parseTokenInteger(next(), kSourceTokens, 0));
        c.valueKey = next();
        c.defaultValue = parseDecimal(next(), 0);
        c.minimum = parseBoundInteger(next(), 0);
        c.maximum = parseBoundInteger(next(), 1000);
        c.unit = idOrText(next());
        c.decimals = decimalsField(next());
        c.sensitivityKey = next();
        c.offersNone = parseFlag(next());
        c.offersManual = parseFlag(next());
        c.noneText = idOrText(next());
        c.hasVelocity = parseFlag(next());
        c.velocityKey = next();
        c.signedSensitivity = parseFlag(next());
        c.optionKey = next();
        c.optionDefault = parseFlag(next());
        c.offersMouse = true;
        break;
    case ControlKind::SimpleSlider:
        c.valueKey = next();
        c.defaultValue = parseDecimal(next(), 0);
        c.minimum = parseBoundInteger(next(), 0);
        c.maximum = parseBoundInteger(next(), 1000);
        c.unit = literalText(next());
        c.decimals = decimalsField(next());
        break;
    case ControlKind::SoundOutput:
    case ControlKind::SoundInput:
        c.valueKey = next();
        c.deviceCode = toInt(parseTokenInteger(next(), kTokenWaveMapper, 0));
        break;
    case ControlKind::ControlInput:
        c.sourceKey = next();
        c.initialSource = toInt(parseTokenInteger(next(), kSourceTokens, 0));
        c.offersNone = parseFlag(next());
        c.offersManual = parseFlag(next());
        c.noneText = literalText(next());
        c.offersMouse = parseFlag(next());
        break;
    case ControlKind::Frequency:
        c.multiplierCaptionId = integerField(next(), 1023);
        c.sourceKey = next();
        c.initialSource = toInt(parseTokenInteger(next(), kSourceTokens, 0));
        c.valueKey = next();
        c.defaultValue = parseDecimal(next(), 0);
        c.secondKey = next();
        c.secondDefault = parseDecimal(next(), 0);
        c.sensitivityKey = next();
        c.offersNone = parseFlag(next());
        c.noneText = literalText(next());
        c.fineMode = parseFlag(next());
        c.offersManual = true;
        c.offersMouse = true;
        break;
    case ControlKind::CheckBox:
        c.valueKey = next();
        c.initialState = parseFlag(next());
        c.helpId = integerField(next(), 1023);
        break;
    case ControlKind::MIDIInput:
        c.valueKey = next();
        c.deviceCode = toInt(parseTokenInteger(next(), kTokenGenericNoSelCode, 0));
        break;
    case ControlKind::MIDISliders:
    case ControlKind::Sequence:
        c.linkedSlot = toInt(parseTokenInteger(next(), kTokenGenericNoSelCode, 0));
        break;
    case ControlKind::WaveWriter:
        c.linkedSlot = toInt(parseTokenInteger(next(), kTokenWaveMapper, 0));
        c.valueKey = next();
        c.defaultText = next();
        c.secondKey = next();
        c.initialState = parseFlag(next());
        c.optionKey = next();
        c.optionDefault = parseFlag(next());
        break;
    case ControlKind::Analyser:
        c.linkedSlot = toInt(parseTokenInteger(next(), kTokenWaveMapper, 0));
        c.valueKey = next();
        c.initialChoice = integerField(next(), 0);
        break;
    case ControlKind::Sensor:
        c.valueKey = next();
        c.defaultValue = static_cast<double>(parseInteger(next(), 0));
        break;
    case ControlKind::ProportionFlipper:
        c.valueKey = next();
        c.defaultValue = parseDecimal(next(), 0);
        c.secondKey = next();
        c.secondDefault = parseDecimal(next(), 0);
        c.minimum = parseBoundInteger(next(), 0);
        c.maximum = parseBoundInteger(next(), 1000);
        c.unit = literalText(next());
        c.decimals = decimalsField(next());
        break;
    case ControlKind::ModulationEffect:
        c.valueKey = next();
        c.initialChoice = parseChoice(next(), kModulationEffectNames);
        break;
    case ControlKind::OutputMode:
        c.valueKey = next();
        c.initialChoice = parseChoice(next(), kOutputModeNames);
        break;
    }
}

} // namespace

std::vector<ControlDef> parseDefinition(std::string_view definition) {
    std::vector<ControlDef> controls;
    std::string_view remaining = definition;
    while (!remaining.empty()) {
        std::string_view text = cut(remaining, '|');
        const std::string_view kindName = trim(cut(text, ','));
        int kind = -1;
        for (int k = 0; k < kKindCount; ++k) {
            if (equalsIgnoreCase(kindName, kKindNames[k])) {
                kind = k;
                break;
            }
        }
        if (kind < 0) continue; // not a control kind: skipped
        ControlDef c;
        c.kind = static_cast<ControlKind>(kind);
        c.captionId = integerField(cut(text, ','), 1023);
        c.slot = integerField(cut(text, ','), 15);
        decodeKindFields(c, text);
        controls.push_back(std::move(c));
    }
    return controls;
}

const std::vector<ControlDef>& typeControls(int type) {
    static const std::array<std::vector<ControlDef>, kTypeCount> parsed = [] {
        std::array<std::vector<ControlDef>, kTypeCount> all;
        for (int t = 0; t < kTypeCount; ++t)
            all[t] = parseDefinition(definitionString(t));
        return all;
    }();
    static const std::vector<ControlDef> none;
    if (type < 0 || type >= kTypeCount) return none;
    return parsed[type];
}

} // namespace kv
