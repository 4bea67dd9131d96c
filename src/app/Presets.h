#pragma once
// Named sets of output choices (format and its options, size, upright,
// background, name pattern and what an existing output gets), kept with the window's settings and carried between
// machines as a JSON file:
//   {"quenlo-presets": 1, "presets": [{"name": "Web", "format": "jpg", "quality": 80, ...}]}
#include <QString>
#include <string>
#include <vector>

#include "app/WindowSettings.h"

class QSettings;

namespace quenlo {

struct TPreset {
    QString name;
    TWindowSettings choices;  // only the output choices count
};

// The longest name, in characters.
constexpr qsizetype kMaxPresetName = 200;
// A file larger than this is no presets file, in bytes.
constexpr qint64 kMaxPresetsFile = 1 << 20;

std::string PresetsJson(const std::vector<TPreset>& presets);
// Throws EQuenlo saying what is wrong, naming `source`, for anything but
// such a text: not JSON, another version, a preset without a name, a value
// of the wrong type or out of range. A key it does not know is ignored.
std::vector<TPreset> ParsePresets(const std::string& text, const std::string& source);
// Replaces the preset of that name, or adds it at the end.
void PutPreset(std::vector<TPreset>& presets, TPreset preset);

// Written whole or not at all. Throws EQuenlo.
void ExportPresets(const std::vector<TPreset>& presets, const QString& fileName);
// Throws EQuenlo as ParsePresets does, and when the file cannot be read.
std::vector<TPreset> ImportPresets(const QString& fileName);

// With the window's settings; an unreadable entry reads as no presets.
std::vector<TPreset> LoadPresets(QSettings& from);
void SavePresets(QSettings& to, const std::vector<TPreset>& presets);

}  // namespace quenlo
