#include "app/settings_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>
#include <QStringList>

#include "image/orbel_burner.h"
#include <algorithm>
#include <limits>

namespace lorvane::app {

namespace {

constexpr const char* kSection = "Options";
constexpr int kMinimumSessionNo = -128;
constexpr int kMaximumSessionNo = 127;

bool IsQuote(QChar c) {
    return c == u'"' || c == u'\'';
}

// A value as the profile functions hand it back: without the blanks around it and without one pair of
// matching quotes enclosing it.
QString DecodeValue(const QString& raw) {
    QString value = raw.trimmed();
    if (value.size() >= 2 && IsQuote(value.front()) && value.back() == value.front())
        value = value.mid(1, value.size() - 2);
    return value;
}

// The form that reads back as the value itself. A line break would end the value and let the rest pass
// for another key, so the value stops at the first one; blanks at either end and enclosing quotes are
// kept by quoting the whole value.
QString EncodeValue(const QString& value) {
    QString line = value;
    const qsizetype lineBreak = line.indexOf(QRegularExpression(QStringLiteral("[\r\n]")));
    if (lineBreak >= 0) line.truncate(lineBreak);
    const bool blankEdges = !line.isEmpty() && (line.front().isSpace() || line.back().isSpace());
    const bool enclosed = line.size() >= 2 && IsQuote(line.front()) && line.back() == line.front();
    if (blankEdges || enclosed) return u'"' + line + u'"';
    return line;
}

// The file as lines, and where its "Options" section lies.
class ProfileText {
public:
    explicit ProfileText(const QByteArray& bytes) {
        if (bytes.isEmpty()) return;
        m_lines = QString::fromUtf8(bytes).split(u'\n');
        for (QString& line : m_lines)
            if (line.endsWith(u'\r')) line.chop(1);
        if (!m_lines.isEmpty() && m_lines.back().isEmpty()) m_lines.removeLast();
    }

    std::optional<QString> Value(const QString& key) const {
        const std::optional<qsizetype> line = KeyLine(key);
        if (!line) return std::nullopt;
        const QString& text = m_lines[*line];
        return DecodeValue(text.mid(text.indexOf(u'=') + 1));
    }

    void Set(const QString& key, const QString& value) {
        const QString line = key + u'=' + EncodeValue(value);
        if (const std::optional<qsizetype> at = KeyLine(key)) {
            m_lines[*at] = line;
            return;
        }
        std::optional<std::pair<qsizetype, qsizetype>> section = Section();
        if (!section) {
            if (!m_lines.isEmpty() && !m_lines.back().trimmed().isEmpty()) m_lines.append(QString());
            m_lines.append(u'[' + QString::fromLatin1(kSection) + u']');
            section = std::pair{m_lines.size(), m_lines.size()};
        }
        // After the section's last key, before the blank lines that part it from the next section.
        qsizetype insertAt = section->second;
        while (insertAt > section->first && m_lines[insertAt - 1].trimmed().isEmpty()) --insertAt;
        m_lines.insert(insertAt, line);
    }

    QByteArray Bytes() const {
        QByteArray bytes;
        for (const QString& line : m_lines) bytes += line.toUtf8() + '\n';
        return bytes;
    }

private:
    static std::optional<QString> SectionName(const QString& line) {
        const QString text = line.trimmed();
        if (!text.startsWith(u'[')) return std::nullopt;
        const qsizetype close = text.indexOf(u']');
        if (close < 0) return std::nullopt;
        return text.mid(1, close - 1).trimmed();
    }

    // The lines after the first "[Options]" header, up to the next header: [first, end).
    std::optional<std::pair<qsizetype, qsizetype>> Section() const {
        for (qsizetype i = 0; i < m_lines.size(); ++i) {
            const std::optional<QString> name = SectionName(m_lines[i]);
            if (!name || name->compare(QLatin1String(kSection), Qt::CaseInsensitive) != 0) continue;
            qsizetype end = i + 1;
            while (end < m_lines.size() && !SectionName(m_lines[end])) ++end;
            return std::pair{i + 1, end};
        }
        return std::nullopt;
    }

    // Keys compare without regard to case, as the profile functions do; the first line of a key wins.
    std::optional<qsizetype> KeyLine(const QString& key) const {
        const std::optional<std::pair<qsizetype, qsizetype>> section = Section();
        if (!section) return std::nullopt;
        for (qsizetype i = section->first; i < section->second; ++i) {
            const QString& line = m_lines[i];
            const QString text = line.trimmed();
            if (text.startsWith(u';') || text.startsWith(u'#')) continue;
            const qsizetype equals = line.indexOf(u'=');
            if (equals < 0) continue;
            if (line.left(equals).trimmed().compare(key, Qt::CaseInsensitive) == 0) return i;
        }
        return std::nullopt;
    }

    QStringList m_lines;
};

ProfileText LoadProfile() {
    QFile file(SettingsFilePath());
    if (!file.open(QIODevice::ReadOnly)) return ProfileText(QByteArray());
    return ProfileText(file.readAll());
}

// The reading helpers of the start: what the file says, or the default when the key is missing or
// does not hold what the key takes.
class OptionsReader {
public:
    explicit OptionsReader(const ProfileText& profile) : m_profile(profile) {}

    QString String(const char* key, const QString& fallback) const {
        return m_profile.Value(QLatin1String(key)).value_or(fallback);
    }
    std::optional<qlonglong> Integer(const char* key) const {
        const std::optional<QString> value = m_profile.Value(QLatin1String(key));
        if (!value || !IsIntegerText(*value)) return std::nullopt;
        bool ok = false;
        const qlonglong number = value->trimmed().toLongLong(&ok);
        if (!ok) return std::nullopt;
        return number;
    }
    // True for any non-zero integer.
    bool Boolean(const char* key, bool fallback) const {
        const std::optional<QString> value = m_profile.Value(QLatin1String(key));
        if (!value || !IsIntegerText(*value)) return fallback;
        // Digits beyond 64 bits are still not zero.
        return value->contains(QRegularExpression(QStringLiteral("[1-9]")));
    }

private:
    const ProfileText& m_profile;
};

// At most kVolumeLabelLength UTF-16 units, never half a surrogate pair.
QString CutVolumeLabel(const QString& label) {
    if (label.size() <= kVolumeLabelLength) return label;
    qsizetype length = kVolumeLabelLength;
    if (label[length - 1].isHighSurrogate()) --length;
    return label.left(length);
}

} // namespace

bool IsIntegerText(const QString& text) {
    static const QRegularExpression integer(QStringLiteral("^[+-]?[0-9]+$"));
    return integer.match(text.trimmed()).hasMatch();
}

std::optional<int> ParseSessionNumber(const QString& text) {
    if (!IsIntegerText(text)) return std::nullopt;
    bool ok = false;
    const qlonglong number = text.trimmed().toLongLong(&ok);
    if (!ok || number < kMinimumSessionNo || number > kMaximumSessionNo) return std::nullopt;
    return static_cast<int>(number);
}

QString SettingsFilePath() {
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    return QDir(folder).filePath(QStringLiteral("Orbel.ini"));
}

QString SavePathWord(SavePathState state) {
    switch (state) {
    case SavePathState::Checked: return QStringLiteral("Checked");
    case SavePathState::Grayed: return QStringLiteral("Grayed");
    case SavePathState::Unchecked: break;
    }
    return QStringLiteral("Unchecked");
}

SavePathState SavePathFromWord(const QString& word) {
    if (word.compare(QLatin1String("GRAYED"), Qt::CaseInsensitive) == 0) return SavePathState::Grayed;
    if (word.compare(QLatin1String("CHECKED"), Qt::CaseInsensitive) == 0) return SavePathState::Checked;
    return SavePathState::Unchecked;
}

bool ReadSettingsAtStart(image::TOrbelBurner& orbel, AppOptions& options, SavePathState& savePath,
                         QString* error) {
    const ProfileText profile = LoadProfile();
    const OptionsReader read(profile);

    options.ArchiveFiles = read.Boolean(key::kArchiveFiles, false);
    savePath = SavePathFromWord(read.String(key::kSavePath, QString()));
    orbel.FinalizeDisc = read.Boolean(key::kCloseDisc, orbel.FinalizeDisc);
    orbel.JolietFileSystem = read.Boolean(key::kJolietFS, orbel.JolietFileSystem);
    orbel.TestWrite = read.Boolean(key::kTestWrite, orbel.TestWrite);
    orbel.PerformOPC = read.Boolean(key::kPerformOPC, orbel.PerformOPC);
    options.QuickSaveISO = read.Boolean(key::kQuickSaveISO, options.QuickSaveISO);
    if (read.Boolean(key::kImportSession, false)) {
        // A text that is no number at all reads as the default, like any other integer key.
        const std::optional<QString> text = profile.Value(QLatin1String(key::kSessionNo));
        const std::optional<int> number = text ? ParseSessionNumber(*text) : std::nullopt;
        if (text && IsIntegerText(*text) && !number) {
            if (error)
                *error = QStringLiteral("The session number \"%1\" in %2 is not in %3..%4")
                             .arg(*text, SettingsFilePath())
                             .arg(kMinimumSessionNo)
                             .arg(kMaximumSessionNo);
            return false;
        }
        options.SessionNo = static_cast<int>(number.value_or(0));
    } else {
        options.SessionNo = 0;
    }
    options.EjectDisc = read.Boolean(key::kEjectDisc, false);
    options.ShowFiles = read.Boolean(key::kShowFiles, false);
    options.ImportSession = read.Boolean(key::kImportSession, false);
    orbel.BootImage = read.String(key::kBootImage, QString::fromStdString(orbel.BootImage)).toStdString();
    orbel.IdVolume =
        CutVolumeLabel(read.String(key::kVolumeLable, QString::fromStdString(orbel.IdVolume))).toStdString();
    if (const std::optional<qlonglong> cacheSize = read.Integer(key::kCacheSize)) {
        // Beyond the property's range the value clamps like any other out-of-range size.
        const qlonglong clamped = std::clamp<qlonglong>(*cacheSize, std::numeric_limits<int>::min(),
                                                        std::numeric_limits<int>::max());
        orbel.SetCacheSize(static_cast<int>(clamped));
    }
    if (error) error->clear();
    return true;
}

bool WriteSavePath(SavePathState state) {
    return WriteSettingsValues({{QLatin1String(key::kSavePath), SavePathWord(state)}});
}

std::optional<QString> ReadSettingsValue(const QString& key) {
    return LoadProfile().Value(key);
}

bool WriteSettingsValues(const QList<std::pair<QString, QString>>& values, QString* error) {
    const QString path = SettingsFilePath();
    ProfileText profile = LoadProfile();
    for (const auto& [key, value] : values) profile.Set(key, value);

    auto fail = [&](const QString& reason) {
        if (error) *error = QStringLiteral("Cannot write the settings file %1: %2").arg(path, reason);
        return false;
    };
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return fail(QStringLiteral("the folder cannot be created"));
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return fail(file.errorString());
    const QByteArray bytes = profile.Bytes();
    if (file.write(bytes) != bytes.size()) return fail(file.errorString());
    if (!file.commit()) return fail(file.errorString());
    if (error) error->clear();
    return true;
}

} // namespace lorvane::app
