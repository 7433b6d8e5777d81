#pragma once

#include <QProgressBar>

namespace drovanta::shell {

// A progress bar that keeps its value as a double percentage and draws a
// free text on the bar. The text is also its accessible description, so a
// screen reader says what is being copied.
class TextProgressBar final : public QProgressBar {
    Q_OBJECT

public:
    explicit TextProgressBar(QWidget *parent);

    double percent() const { return m_percent; }
    void setPercent(double percent);

    QString text() const override { return m_text; }
    void setText(const QString &text);
    // Bytes, speed and time left: the tooltip, and read after the text by a
    // screen reader. Empty: none.
    QString detail() const { return m_detail; }
    void setDetail(const QString &detail);

private:
    double m_percent = 0.0;
    void describe();

    QString m_text;
    QString m_detail;
};

} // namespace drovanta::shell
