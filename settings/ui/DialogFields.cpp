#include "settings/ui/DialogFields.h"

#include "settings/WallClock.h"

#include <QComboBox>
#include <QDate>
#include <QDateEdit>
#include <QTime>
#include <QTimeEdit>

const QStringList& FileTypeNames()
{
    static const QStringList s_names {"All Record", "Timing Record", "Alarm Record"};
    return s_names;
}

void FillFileTypes(QComboBox* pCombo, std::uint32_t nFileType)
{
    pCombo->clear();
    pCombo->addItems(FileTypeNames());
    // A type the list does not know (hand-edited file) selects nothing, so that
    // OK keeps the value instead of inventing one.
    pCombo->setCurrentIndex(nFileType < static_cast<std::uint32_t>(FileTypeNames().size())
                                ? static_cast<int>(nFileType)
                                : -1);
}

QDateEdit* NewDatePicker(QWidget* pParent)
{
    auto* pDate = new QDateEdit(pParent);
    pDate->setDateRange(QDate(2000, 1, 1), QDate(2037, 12, 31));
    pDate->setDisplayFormat("yyyy-MM-dd");
    pDate->setCalendarPopup(true);
    return pDate;
}

QTimeEdit* NewTimePicker(QWidget* pParent)
{
    auto* pTime = new QTimeEdit(pParent);
    pTime->setDisplayFormat("HH:mm:ss");
    return pTime;
}

SpanPickers NewSpanPickers(QWidget* pParent, std::uint32_t tStart, std::uint32_t tStop)
{
    SpanPickers span {NewDatePicker(pParent), NewTimePicker(pParent), NewDatePicker(pParent),
                      NewTimePicker(pParent)};
    span.pStartDate->setObjectName("startDate");
    span.pStartTime->setObjectName("startTime");
    span.pStopDate->setObjectName("stopDate");
    span.pStopTime->setObjectName("stopTime");
    SetPickers(span.pStartDate, span.pStartTime, tStart);
    SetPickers(span.pStopDate, span.pStopTime, tStop);
    return span;
}

QComboBox* NewFileTypeCombo(QWidget* pParent, std::uint32_t nFileType)
{
    auto* pCombo = new QComboBox(pParent);
    pCombo->setObjectName("fileTypeCombo");
    FillFileTypes(pCombo, nFileType);
    return pCombo;
}

void SetPickers(QDateEdit* pDate, QTimeEdit* pTime, std::uint32_t tValue)
{
    std::tm tmFields = SplitWallClock(tValue);
    // A date outside the picker's range is clamped to it by the picker.
    pDate->setDate(QDate(tmFields.tm_year + 1900, tmFields.tm_mon + 1, tmFields.tm_mday));
    pTime->setTime(QTime(tmFields.tm_hour, tmFields.tm_min, tmFields.tm_sec));
}

std::uint32_t ReadPickers(const QDateEdit* pDate, const QTimeEdit* pTime)
{
    QDate date = pDate->date();
    QTime time = pTime->time();
    return WallClockFromFields(date.year(), date.month(), date.day(), time.hour(), time.minute(), time.second());
}

QString SaveFailedText()
{
    return "Save failed, please assure QorConfig.xml is writable!";
}
