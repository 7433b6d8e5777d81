/* Drovanta example skin: a calm slate-and-teal look.
   Copy this file to x/o.cjs beside the program to use it. */

QWidget#Form1 {
    background-color: qlineargradient(x1: 0, y1: 0, x2: 0, y2: 1,
                                      stop: 0 #eef3f7, stop: 1 #d9e3ea);
}

QGroupBox {
    background-color: #f8fbfd;
    border: 1px solid #9fb3c2;
    border-radius: 6px;
    margin-top: 9px;
    padding-top: 4px;
    color: #24445c;
}

QGroupBox::title {
    subcontrol-origin: margin;
    subcontrol-position: top left;
    left: 10px;
    padding: 0 4px;
    background-color: transparent;
}

QPushButton {
    color: #ffffff;
    background-color: qlineargradient(x1: 0, y1: 0, x2: 0, y2: 1,
                                      stop: 0 #3f8fa8, stop: 1 #2c6f86);
    border: 1px solid #225a6d;
    border-radius: 5px;
    padding: 2px 10px;
}

QPushButton:hover {
    background-color: qlineargradient(x1: 0, y1: 0, x2: 0, y2: 1,
                                      stop: 0 #52a6c0, stop: 1 #35819a);
    border-color: #1c4d5e;
}

QPushButton:pressed {
    background-color: #22596b;
    padding-top: 3px;
    padding-bottom: 1px;
}

QPushButton:focus {
    border: 1px solid #f0a43a;
}

QPushButton:disabled {
    color: #d4dde3;
    background-color: #9aaab5;
    border-color: #8797a2;
}

QComboBox {
    color: #1d3140;
    background-color: #ffffff;
    border: 1px solid #9fb3c2;
    border-radius: 4px;
    padding: 1px 6px;
}

QComboBox:hover {
    border-color: #3f8fa8;
}

QComboBox QAbstractItemView {
    color: #1d3140;
    background-color: #ffffff;
    selection-color: #ffffff;
    selection-background-color: #3f8fa8;
}

QProgressBar {
    color: #1d3140;
    background-color: #ffffff;
    border: 1px solid #9fb3c2;
    border-radius: 5px;
    text-align: center;
}

QProgressBar::chunk {
    background-color: qlineargradient(x1: 0, y1: 0, x2: 0, y2: 1,
                                      stop: 0 #7fd1a6, stop: 1 #43a874);
    border-radius: 4px;
}
