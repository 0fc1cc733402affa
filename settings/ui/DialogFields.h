#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>

class QComboBox;
class QDateEdit;
class QTimeEdit;
class QWidget;

// Pieces the configuration dialogs share. Window thread only.

// "All Record", "Timing Record", "Alarm Record": the file types 0, 1, 2.
const QStringList& FileTypeNames();

// Fills combo with the file type names and selects nFileType (none when unknown).
void FillFileTypes(QComboBox* pCombo, std::uint32_t nFileType);

// A date picker limited to 2000-01-01 .. 2037-12-31, and a time picker; both show
// what they hold as text, so the dialogs read back exactly what the user sees.
QDateEdit* NewDatePicker(QWidget* pParent);
QTimeEdit* NewTimePicker(QWidget* pParent);

// The start and stop pickers of a time span, showing tStart and tStop; named
// startDate, startTime, stopDate and stopTime.
struct SpanPickers {
    QDateEdit* pStartDate;
    QTimeEdit* pStartTime;
    QDateEdit* pStopDate;
    QTimeEdit* pStopTime;
};
SpanPickers NewSpanPickers(QWidget* pParent, std::uint32_t tStart, std::uint32_t tStop);

// The file type list, named fileTypeCombo, with nFileType selected.
QComboBox* NewFileTypeCombo(QWidget* pParent, std::uint32_t nFileType);

// Shows a wall-clock value in a date and a time picker (split with the UTC calendar
// functions, so no time zone applies).
void SetPickers(QDateEdit* pDate, QTimeEdit* pTime, std::uint32_t tValue);

// The wall-clock value of the picked date and time of day.
std::uint32_t ReadPickers(const QDateEdit* pDate, const QTimeEdit* pTime);

// Shown when the settings file could not be written.
QString SaveFailedText();
