#include "ui/TextProgressBar.h"

#include <algorithm>
#include <cmath>

namespace drovanta::shell {

TextProgressBar::TextProgressBar(QWidget *parent) : QProgressBar(parent)
{
    setRange(0, 100);
    setTextVisible(true);
    setAlignment(Qt::AlignCenter);
}

void TextProgressBar::setPercent(double percent)
{
    m_percent = percent;
    // The filled share follows the value; a value past the ends (more items
    // than were counted) shows a full or empty bar.
    const double shown = std::isfinite(percent) ? std::clamp(percent, 0.0, 100.0) : 0.0;
    setValue(static_cast<int>(std::lround(shown)));
}

void TextProgressBar::setText(const QString &text)
{
    m_text = text;
    describe();
    update();
}

void TextProgressBar::setDetail(const QString &detail)
{
    m_detail = detail;
    setToolTip(detail);
    describe();
}

void TextProgressBar::describe()
{
    setAccessibleDescription(m_detail.isEmpty() ? m_text : m_text + QStringLiteral(". ") + m_detail);
}

} // namespace drovanta::shell
