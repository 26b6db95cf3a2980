// The Qt front end. Widgets are made from the model's gadget trees and feed what a person does back
// into the model; the model stays the truth, a widget only shows it.
#include "qt/qtfrontend.h"

#include <QApplication>
#include <QButtonGroup>
#include <QClipboard>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDoubleSpinBox>
#include <QDrag>
#include <QEventLoop>
#include <QFileDialog>
#include <QFontMetrics>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QImage>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSlider>
#include <QSplitter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <cmath>
#include <map>

#include "orx/services.h"
#include "orx/string.h"
#include "services/host.h"

namespace orxhost::qt {
namespace ui = orxhost::ui;

namespace {
QColor Rgb(UInt32 rgb) { return QColor(int((rgb >> 16) & 255), int((rgb >> 8) & 255), int(rgb & 255)); }
QString Q(const std::string& s) { return QString::fromUtf8(s.data(), qsizetype(s.size())); }
std::string U(const QString& s)
{
  const QByteArray b = s.toUtf8();
  return std::string(b.constData(), std::size_t(b.size()));
}
Int32 Qualifiers(Qt::KeyboardModifiers m)
{
  return (m & Qt::ShiftModifier ? ORX_QUAL_SHIFT : 0) | (m & Qt::ControlModifier ? ORX_QUAL_CTRL : 0) |
         (m & Qt::AltModifier ? ORX_QUAL_ALT : 0);
}
Int32 Button(Qt::MouseButton b)
{
  return b == Qt::RightButton ? ORX_BUTTON_RIGHT : b == Qt::MiddleButton ? ORX_BUTTON_MIDDLE : ORX_BUTTON_LEFT;
}
const char* kDragMime = "application/x-orxhost-drag";

// Draws the recorded calls of a frame with QPainter.
void Paint(QPainter& p, const std::vector<ui::DrawCall>& calls)
{
  QColor pen(Qt::black);
  for (const ui::DrawCall& c : calls) {
    const QRect r(QPoint(c.x1, c.y1), QPoint(c.x2, c.y2));
    switch (c.op) {
      case ui::DrawOp::Pen: pen = Rgb(c.rgb); break;
      case ui::DrawOp::Fill: p.fillRect(r, pen); break;
      case ui::DrawOp::Frame:
        p.setPen(pen);
        p.setBrush(Qt::NoBrush);
        p.drawRect(r.adjusted(0, 0, -1, -1));
        break;
      case ui::DrawOp::Line:
        p.setPen(pen);
        p.drawLine(c.x1, c.y1, c.x2, c.y2);
        break;
      case ui::DrawOp::Bitmap:
        if (c.pixels) {
          const QImage img(c.pixels->data(), c.bw, c.bh, c.bw * c.channels,
                           c.channels == 4 ? QImage::Format_RGBA8888 : QImage::Format_RGB888);
          p.setRenderHint(QPainter::SmoothPixmapTransform);
          p.drawImage(r, img);
        }
        break;
      case ui::DrawOp::Icon:
        // Icon files are the plug-in's; without a reader for them here, a frame holds their place.
        p.setPen(pen);
        p.drawRect(r.adjusted(0, 0, -1, -1));
        break;
      case ui::DrawOp::Text: {
        p.setPen(pen);
        const QFontMetrics fm(p.font());
        p.drawText(QPoint(c.x1, c.y1 + fm.ascent()), Q(c.text));
        break;
      }
      case ui::DrawOp::Clip: p.setClipRect(r); break;
      case ui::DrawOp::ClipOff: p.setClipping(false); break;
    }
  }
}

// A user area: paints the model's frame and gives it the mouse, keys and drops.
class AreaWidget : public QWidget
{
public:
  AreaWidget(Int32 area, QWidget* parent) : QWidget(parent), area_(area)
  {
    setFocusPolicy(Qt::StrongFocus);
    setAcceptDrops(true);
    setMouseTracking(false);
    UpdateSize();
  }
  Int32 Area() const { return area_; }
  void UpdateSize()
  {
    Int32 w = 0, h = 0;
    ui::AreaMinSize(area_, &w, &h);
    setMinimumSize(std::max(w, 8), std::max(h, 8));
  }

protected:
  void paintEvent(QPaintEvent* e) override
  {
    // The part Qt asks for is the part a scroll container shows (all of it when grabbed).
    const QRect r = e->rect();
    ui::SetAreaViewport(area_, r.width(), r.height());
    ui::ScrollArea(area_, r.x(), r.y());
    QPainter p(this);
    p.setFont(font());
    Paint(p, ui::DrawArea(area_, width(), height()));
  }
  void Send(Int32 kind, QMouseEvent* e)
  {
    OrxInputEvent ev{};
    ev.kind = kind;
    ev.x = int(e->position().x());
    ev.y = int(e->position().y());
    ev.button = Button(e->button());
    ev.qualifiers = Qualifiers(e->modifiers());
    ui::AreaInput(area_, ev);
  }
  void mousePressEvent(QMouseEvent* e) override
  {
    setFocus();
    Send(ORX_INPUT_MOUSE_DOWN, e);
  }
  void mouseReleaseEvent(QMouseEvent* e) override { Send(ORX_INPUT_MOUSE_UP, e); }
  void mouseMoveEvent(QMouseEvent* e) override { Send(ORX_INPUT_MOUSE_MOVE, e); }
  void mouseDoubleClickEvent(QMouseEvent* e) override { Send(ORX_INPUT_DOUBLE_CLICK, e); }
  void wheelEvent(QWheelEvent* e) override
  {
    OrxInputEvent ev{};
    ev.kind = ORX_INPUT_WHEEL;
    ev.x = int(e->position().x());
    ev.y = int(e->position().y());
    ev.delta = e->angleDelta().y() / 120;
    ev.qualifiers = Qualifiers(e->modifiers());
    if (!ui::AreaInput(area_, ev))
      e->ignore(); // the scroll area takes it
  }
  void keyPressEvent(QKeyEvent* e) override
  {
    OrxInputEvent ev{};
    ev.kind = ORX_INPUT_KEY;
    ev.qualifiers = Qualifiers(e->modifiers());
    switch (e->key()) {
      case Qt::Key_Return:
      case Qt::Key_Enter: ev.key = ORX_KEY_ENTER; break;
      case Qt::Key_Escape: ev.key = ORX_KEY_ESC; break;
      case Qt::Key_Up: ev.key = ORX_KEY_UP; break;
      case Qt::Key_Down: ev.key = ORX_KEY_DOWN; break;
      case Qt::Key_Left: ev.key = ORX_KEY_LEFT; break;
      case Qt::Key_Right: ev.key = ORX_KEY_RIGHT; break;
      case Qt::Key_Delete: ev.key = ORX_KEY_DELETE; break;
      default: ev.key = e->text().isEmpty() ? 0 : Int32(e->text().toUcs4().value(0));
    }
    if (!ev.key || !ui::AreaInput(area_, ev))
      QWidget::keyPressEvent(e);
  }
  void focusInEvent(QFocusEvent*) override
  {
    ui::SetAreaFocus(area_, true);
    update();
  }
  void focusOutEvent(QFocusEvent*) override
  {
    ui::SetAreaFocus(area_, false);
    update();
  }
  // Drags of this process carry the model's drag; others are not ours to take.
  void dragEnterEvent(QDragEnterEvent* e) override
  {
    if (e->mimeData()->hasFormat(kDragMime) && ui::DragOverArea(area_, int(e->position().x()), int(e->position().y())))
      e->acceptProposedAction();
  }
  void dropEvent(QDropEvent* e) override
  {
    if (e->mimeData()->hasFormat(kDragMime) && ui::DropOnArea(area_, int(e->position().x()), int(e->position().y())))
      e->acceptProposedAction();
  }

private:
  Int32 area_;
};

// A dialog's widgets, made from its gadget tree.
class DialogWidgets
{
public:
  Int32 dialog = 0;
  std::map<Int32, QWidget*> byId;
  std::vector<AreaWidget*> areas;
  std::vector<std::pair<Int32, QScrollArea*>> scrolls;
  std::vector<Int32> subs;
  bool updating = false;

  QWidget* Build(Int32 dlg, QWidget* parent)
  {
    ui::DialogView v;
    if (!ui::GetDialog(dlg, &v))
      return new QWidget(parent);
    auto* root = new QWidget(parent);
    auto* lay = new QVBoxLayout(root);
    lay->setContentsMargins(6, 6, 6, 6);
    for (std::size_t c : v.gadgets[0].children)
      lay->addWidget(Make(dlg, v, c, root));
    lay->addStretch(0);
    return root;
  }

  // The widget's state from the model's gadget.
  void Refresh(Int32 dlg, Int32 id)
  {
    auto it = byId.find(Key(dlg, id));
    const ui::Gadget* g = ui::FindGadget(dlg, id);
    if (it == byId.end() || !g)
      return;
    updating = true;
    QWidget* w = it->second;
    w->setEnabled(g->enabled);
    w->setVisible(g->visible);
    switch (g->kind) {
      case ORX_GADGET_STATIC: static_cast<QLabel*>(w)->setText(Q(g->text)); break;
      case ORX_GADGET_BUTTON: static_cast<QPushButton*>(w)->setText(Q(g->text)); break;
      case ORX_GADGET_CHECKBOX: static_cast<QCheckBox*>(w)->setChecked(g->intValue != 0); break;
      case ORX_GADGET_EDITTEXT:
        if (static_cast<QLineEdit*>(w)->text() != Q(g->text))
          static_cast<QLineEdit*>(w)->setText(Q(g->text));
        break;
      case ORX_GADGET_EDITNUMBER: static_cast<QDoubleSpinBox*>(w)->setValue(g->floatValue); break;
      case ORX_GADGET_SLIDER: static_cast<QSlider*>(w)->setValue(int(std::lround(g->floatValue))); break;
      case ORX_GADGET_PROGRESS: static_cast<QProgressBar*>(w)->setValue(int(std::lround(g->floatValue * 1000))); break;
      case ORX_GADGET_POPUP:
      case ORX_GADGET_COMBO: {
        auto* cb = static_cast<QComboBox*>(w);
        if (cb->count() != int(g->items.size())) {
          cb->clear();
          for (const ui::Item& i : g->items)
            cb->addItem(Q(i.text), i.id);
        }
        if (g->kind == ORX_GADGET_COMBO)
          cb->setEditText(Q(g->text));
        else
          cb->setCurrentIndex(cb->findData(int(g->intValue)));
        break;
      }
      case ORX_GADGET_RADIOGROUP:
        for (QRadioButton* b : w->findChildren<QRadioButton*>())
          b->setChecked(b->property("orxItem").toInt() == g->intValue);
        break;
      default: break;
    }
    updating = false;
  }

  void RefreshAll(Int32 dlg)
  {
    ui::DialogView v;
    if (!ui::GetDialog(dlg, &v))
      return;
    for (std::size_t i = 1; i < v.gadgets.size(); ++i)
      Refresh(dlg, v.gadgets[i].id);
  }

  static Int32 Key(Int32 dlg, Int32 id) { return dlg * 1000003 + id; }

private:
  QWidget* Make(Int32 dlg, const ui::DialogView& v, std::size_t index, QWidget* parent)
  {
    const ui::Gadget& g = v.gadgets[index];
    QWidget* w = nullptr;
    switch (g.kind) {
      case ORX_GADGET_GROUP: {
        QWidget* box = g.border ? new QGroupBox(Q(g.text), parent) : new QWidget(parent);
        auto* grid = new QGridLayout(box);
        grid->setHorizontalSpacing(g.spaceX);
        grid->setVerticalSpacing(g.spaceY);
        if (!g.border)
          grid->setContentsMargins(0, 0, 0, 0);
        const int cols = std::max(1, g.cols);
        int n = 0;
        // Rows given without columns fill column by column.
        const bool byColumn = g.rows > 0 && g.cols <= 1;
        for (std::size_t c : g.children) {
          QWidget* child = Make(dlg, v, c, box);
          if (byColumn)
            grid->addWidget(child, n % g.rows, n / g.rows);
          else
            grid->addWidget(child, n / cols, n % cols);
          ++n;
        }
        w = box;
        break;
      }
      case ORX_GADGET_SCROLLGROUP: {
        auto* sa = new QScrollArea(parent);
        sa->setWidgetResizable(true);
        sa->setMinimumSize(g.width ? g.width + 4 : 100, g.height ? g.height + 4 : 100);
        for (std::size_t c : g.children) {
          QWidget* child = Make(dlg, v, c, sa);
          sa->setWidget(child);
          if (auto* aw = dynamic_cast<AreaWidget*>(child))
            scrolls.emplace_back(aw->Area(), sa);
        }
        w = sa;
        break;
      }
      case ORX_GADGET_STATIC: w = new QLabel(Q(g.text), parent); break;
      case ORX_GADGET_EDITTEXT: {
        auto* e = new QLineEdit(parent);
        QObject::connect(e, &QLineEdit::textEdited, e, [this, dlg, id = g.id](const QString& t) {
          if (!updating)
            ui::TypeText(dlg, id, U(t));
        });
        w = e;
        break;
      }
      case ORX_GADGET_EDITNUMBER: {
        auto* s = new QDoubleSpinBox(parent);
        s->setRange(g.max > g.min ? g.min : -1e9, g.max > g.min ? g.max : 1e9);
        s->setSingleStep(g.step > 0 ? g.step : 1);
        s->setDecimals(g.step > 0 && g.step < 1 ? 2 : 0);
        QObject::connect(s, &QDoubleSpinBox::valueChanged, s, [this, dlg, id = g.id](double x) {
          if (!updating)
            ui::SetNumber(dlg, id, x);
        });
        w = s;
        break;
      }
      case ORX_GADGET_BUTTON: {
        auto* b = new QPushButton(Q(g.text), parent);
        QObject::connect(b, &QPushButton::clicked, b, [dlg, id = g.id] { ui::Click(dlg, id); });
        w = b;
        break;
      }
      case ORX_GADGET_CHECKBOX: {
        auto* b = new QCheckBox(Q(g.text), parent);
        QObject::connect(b, &QCheckBox::clicked, b, [this, dlg, id = g.id] {
          if (!updating)
            ui::Click(dlg, id);
        });
        w = b;
        break;
      }
      case ORX_GADGET_RADIOGROUP: {
        auto* box = new QWidget(parent);
        auto* grid = new QGridLayout(box);
        grid->setContentsMargins(0, 0, 0, 0);
        auto* group = new QButtonGroup(box);
        int n = 0;
        for (const ui::Item& i : g.items) {
          auto* b = new QRadioButton(Q(i.text), box);
          b->setProperty("orxItem", i.id);
          group->addButton(b);
          grid->addWidget(b, n / std::max(1, g.cols), n % std::max(1, g.cols));
          ++n;
          QObject::connect(b, &QRadioButton::clicked, b, [this, dlg, id = g.id, item = i.id] {
            if (!updating)
              ui::Choose(dlg, id, item);
          });
        }
        w = box;
        break;
      }
      case ORX_GADGET_POPUP:
      case ORX_GADGET_COMBO: {
        auto* cb = new QComboBox(parent);
        cb->setEditable(g.kind == ORX_GADGET_COMBO);
        for (const ui::Item& i : g.items)
          cb->addItem(Q(i.text), i.id);
        QObject::connect(cb, &QComboBox::activated, cb, [this, cb, dlg, id = g.id](int index) {
          if (!updating)
            ui::Choose(dlg, id, cb->itemData(index).toInt());
        });
        if (g.kind == ORX_GADGET_COMBO)
          QObject::connect(cb, &QComboBox::editTextChanged, cb, [this, dlg, id = g.id](const QString& t) {
            if (!updating)
              ui::TypeText(dlg, id, U(t));
          });
        w = cb;
        break;
      }
      case ORX_GADGET_SLIDER: {
        auto* s = new QSlider(Qt::Horizontal, parent);
        s->setRange(int(g.min), int(g.max));
        QObject::connect(s, &QSlider::valueChanged, s, [this, dlg, id = g.id](int x) {
          if (!updating)
            ui::SetNumber(dlg, id, x);
        });
        w = s;
        break;
      }
      case ORX_GADGET_PROGRESS: {
        auto* p = new QProgressBar(parent);
        p->setRange(0, 1000);
        w = p;
        break;
      }
      case ORX_GADGET_USERAREA: {
        auto* a = new AreaWidget(g.attach, parent);
        areas.push_back(a);
        w = a;
        break;
      }
      case ORX_GADGET_SUBDIALOG:
        subs.push_back(g.attach);
        w = Build(g.attach, parent);
        break;
      case ORX_GADGET_SEPARATOR: {
        auto* f = new QFrame(parent);
        f->setFrameShape(QFrame::HLine);
        f->setFrameShadow(QFrame::Sunken);
        w = f;
        break;
      }
      default: w = new QWidget(parent);
    }
    if (g.width > 0 && g.kind != ORX_GADGET_SCROLLGROUP && g.kind != ORX_GADGET_USERAREA)
      w->setMinimumWidth(g.width);
    if (g.id)
      byId[Key(dlg, g.id)] = w;
    return w;
  }
};

class DialogWindow : public QDialog
{
public:
  DialogWidgets widgets;
  bool closingFromModel = false;
  bool rebuildPending = false;

  explicit DialogWindow(Int32 dlg)
  {
    widgets.dialog = dlg;
    setAttribute(Qt::WA_DeleteOnClose, false);
    auto* lay = new QVBoxLayout(this);
    lay->setContentsMargins(0, 0, 0, 0);
    Rebuild();
  }
  void Rebuild()
  {
    const Int32 dlg = widgets.dialog;
    for (QWidget* c : findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
      delete c;
    widgets = DialogWidgets();
    widgets.dialog = dlg;
    layout()->addWidget(widgets.Build(dlg, this));
    widgets.RefreshAll(dlg);
    for (Int32 s : widgets.subs)
      widgets.RefreshAll(s);
    for (auto& [area, sa] : widgets.scrolls) {
      ui::SetAreaViewport(area, sa->viewport()->width(), sa->viewport()->height());
      QObject::connect(sa->verticalScrollBar(), &QScrollBar::valueChanged, sa, [area = area, sa = sa](int y) {
        ui::ScrollArea(area, sa->horizontalScrollBar()->value(), y);
      });
    }
    ui::DialogView v;
    if (ui::GetDialog(dlg, &v)) {
      setWindowTitle(Q(v.title));
      if (v.width > 0 && v.height > 0)
        resize(v.width, v.height);
    }
  }

protected:
  void closeEvent(QCloseEvent* e) override
  {
    if (closingFromModel || ui::RequestClose(widgets.dialog))
      e->accept();
    else
      e->ignore();
  }
  void resizeEvent(QResizeEvent* e) override
  {
    QDialog::resizeEvent(e);
    for (auto& [area, sa] : widgets.scrolls)
      ui::SetAreaViewport(area, sa->viewport()->width(), sa->viewport()->height());
  }
  void dragEnterEvent(QDragEnterEvent* e) override
  {
    if (e->mimeData()->hasFormat(kDragMime))
      e->acceptProposedAction();
  }
  void dropEvent(QDropEvent* e) override
  {
    if (ui::DropOnDialog(widgets.dialog, int(e->position().x()), int(e->position().y())))
      e->acceptProposedAction();
  }
};
} // namespace

class QtFrontEnd final : public ui::FrontEnd
{
public:
  std::map<Int32, std::unique_ptr<DialogWindow>> windows;
  std::map<Int32, QEventLoop*> loops;
  QTimer pump;
  ui::FrontEnd* previous = nullptr;
  bool busy = false;

  QtFrontEnd()
  {
    // Posts and dialog timers run from here, on the GUI thread.
    pump.setInterval(15);
    QObject::connect(&pump, &QTimer::timeout, [] { ui::Pump(); });
    pump.start();
    // The system's clipboard is the plug-in's: what others copy there, it pastes.
    QObject::connect(QGuiApplication::clipboard(), &QClipboard::dataChanged, &pump,
                     [] { ui::SetClipboard(U(QGuiApplication::clipboard()->text())); });
  }
  ~QtFrontEnd() override
  {
    if (busy)
      QApplication::restoreOverrideCursor();
  }

  DialogWindow* Window(Int32 dlg)
  {
    auto it = windows.find(dlg);
    return it == windows.end() ? nullptr : it->second.get();
  }
  // The window that shows a dialog, itself or as a sub-dialog.
  DialogWindow* Showing(Int32 dlg)
  {
    if (DialogWindow* w = Window(dlg))
      return w;
    for (auto& [h, w] : windows)
      for (Int32 s : w->widgets.subs)
        if (s == dlg)
          return w.get();
    return nullptr;
  }

  void DialogOpened(Int32 dlg) override
  {
    ui::DialogView v;
    if (!ui::GetDialog(dlg, &v) || v.sub)
      return;
    auto w = std::make_unique<DialogWindow>(dlg);
    w->setModal(v.modal);
    w->show();
    windows[dlg] = std::move(w);
  }
  void DialogClosed(Int32 dlg) override
  {
    if (auto it = loops.find(dlg); it != loops.end())
      it->second->quit();
    auto it = windows.find(dlg);
    if (it == windows.end())
      return;
    std::unique_ptr<DialogWindow> w = std::move(it->second);
    windows.erase(it);
    w->closingFromModel = true;
    w->close();
    w.release()->deleteLater();
  }
  void GadgetChanged(Int32 dlg, Int32 gadget) override
  {
    DialogWindow* w = Showing(dlg);
    if (!w)
      return;
    if (gadget == 0) {
      ui::DialogView v;
      if (Window(dlg) && ui::GetDialog(dlg, &v))
        w->setWindowTitle(Q(v.title));
      return;
    }
    w->widgets.Refresh(dlg, gadget);
  }
  void LayoutChanged(Int32 dlg) override
  {
    DialogWindow* w = Showing(dlg);
    if (!w || w->rebuildPending)
      return;
    // Later: the change may come from a handler of a widget that the rebuild deletes.
    w->rebuildPending = true;
    QTimer::singleShot(0, w, [w] {
      w->rebuildPending = false;
      w->Rebuild();
    });
  }
  void AreaDirty(Int32 area) override
  {
    for (auto& [h, w] : windows) {
      for (AreaWidget* a : w->widgets.areas)
        if (a->Area() == area) {
          a->UpdateSize();
          a->update();
        }
      // The plug-in or the wheel moved the model's scroll: the scroll bars follow.
      for (auto& [a, sa] : w->widgets.scrolls)
        if (a == area) {
          Int32 x = 0, y = 0;
          ui::AreaScroll(area, &x, &y);
          sa->horizontalScrollBar()->setValue(x);
          sa->verticalScrollBar()->setValue(y);
        }
    }
  }
  void Wake() override
  {
    // Any thread: the delivery itself runs on the GUI thread.
    if (QCoreApplication* app = QCoreApplication::instance())
      QMetaObject::invokeMethod(app, [] { ui::DeliverPosts(); }, Qt::QueuedConnection);
  }
  void ClipboardChanged(const std::string& text) override
  {
    // Any thread: the clipboard itself is set on the GUI thread.
    if (QCoreApplication* app = QCoreApplication::instance())
      QMetaObject::invokeMethod(app, [t = Q(text)] { QGuiApplication::clipboard()->setText(t); }, Qt::QueuedConnection);
  }
  bool RunModal(Int32 dlg) override
  {
    if (!Window(dlg))
      return false;
    QEventLoop loop;
    loops[dlg] = &loop;
    ui::DialogView v;
    if (ui::GetDialog(dlg, &v) && v.open)
      loop.exec();
    loops.erase(dlg);
    return true;
  }
  Int32 MessageBox(const std::string& text, Int32 style) override
  {
    QWidget* parent = QApplication::activeWindow();
    if (style == ORX_MB_YESNO)
      return QMessageBox::question(parent, "orxhost", Q(text), QMessageBox::Yes | QMessageBox::No) ==
                     QMessageBox::Yes
                 ? ORX_MB_YES
                 : ORX_MB_NO;
    if (style == ORX_MB_WARNING)
      QMessageBox::warning(parent, "orxhost", Q(text));
    else
      QMessageBox::information(parent, "orxhost", Q(text));
    return ORX_MB_OK;
  }
  bool SelectFile(std::string& name, Int32 kind, const std::string& title) override
  {
    QWidget* parent = QApplication::activeWindow();
    const QString start = Q(name);
    QString r = kind == ORX_FILESELECT_FOLDER ? QFileDialog::getExistingDirectory(parent, Q(title), start)
                : kind == ORX_FILESELECT_SAVE ? QFileDialog::getSaveFileName(parent, Q(title), start)
                                              : QFileDialog::getOpenFileName(parent, Q(title), start);
    if (r.isEmpty())
      return false;
    name = U(r);
    return true;
  }
  void PopupEdit(Int32 dlg, Int32 x, Int32 y, Int32 w, Int32 h, const std::string& text, void* userData) override
  {
    DialogWindow* win = Showing(dlg);
    if (!win) {
      ui::FinishPopupEdit(dlg, false, std::string(), userData);
      return;
    }
    // An editor over the given place; Enter keeps the text, leaving it any other way cancels.
    auto* e = new QLineEdit(Q(text), win);
    e->setGeometry(x, y, std::max(w, 40), std::max(h, e->sizeHint().height()));
    e->selectAll();
    e->show();
    e->setFocus();
    auto done = std::make_shared<bool>(false);
    QObject::connect(e, &QLineEdit::returnPressed, e, [e, dlg, userData, done] {
      if (*done)
        return;
      *done = true;
      ui::FinishPopupEdit(dlg, true, U(e->text()), userData);
      e->deleteLater();
    });
    QObject::connect(e, &QLineEdit::editingFinished, e, [e, dlg, userData, done] {
      if (*done)
        return;
      *done = true;
      ui::FinishPopupEdit(dlg, false, std::string(), userData);
      e->deleteLater();
    });
  }
  Int32 PopupMenu(Int32 dlg, Int32 x, Int32 y, const std::vector<ui::Item>& items) override
  {
    QMenu menu;
    for (const ui::Item& i : items)
      menu.addAction(Q(i.text))->setData(i.id);
    DialogWindow* win = Showing(dlg);
    const QPoint at = win ? win->mapToGlobal(QPoint(x, y)) : QPoint(x, y);
    QAction* a = menu.exec(at);
    return a ? a->data().toInt() : 0;
  }
  void BusyCursor(Int32 mode) override
  {
    if (mode == 3 && !busy) {
      QApplication::setOverrideCursor(Qt::WaitCursor);
      busy = true;
    } else if (mode != 3 && busy) {
      QApplication::restoreOverrideCursor();
      busy = false;
    }
  }
  bool RunDrag() override
  {
    const ui::PendingDrag d = ui::CurrentDrag();
    QWidget* source = nullptr;
    for (auto& [h, w] : windows)
      for (AreaWidget* a : w->widgets.areas)
        if (a->Area() == d.sourceArea)
          source = a;
    if (!source)
      return false;
    auto* drag = new QDrag(source);
    auto* mime = new QMimeData;
    mime->setData(kDragMime, QByteArray::number(d.typeId));
    drag->setMimeData(mime);
    return drag->exec(Qt::CopyAction | Qt::MoveAction) != Qt::IgnoreAction;
  }
  Int32 TextWidth(const std::string& text) override
  {
    return QFontMetrics(QApplication::font()).horizontalAdvance(Q(text));
  }
  Int32 FontHeight() override { return QFontMetrics(QApplication::font()).height(); }
};

std::shared_ptr<QtFrontEnd> StartQt()
{
  if (!QApplication::instance()) {
    static int argc = 1;
    static char name[] = "orxhost";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);
  }
  ui::BindMainThread();
  auto fe = std::make_shared<QtFrontEnd>();
  fe->previous = ui::GetFrontEnd();
  ui::SetFrontEnd(fe.get());
  return fe;
}

void StopQt(std::shared_ptr<QtFrontEnd>& fe)
{
  if (!fe)
    return;
  ui::SetFrontEnd(fe->previous);
  fe->windows.clear();
  fe.reset();
}

QWidget* DialogWidget(QtFrontEnd& fe, Int32 dialog) { return fe.Window(dialog); }

QImage Render(QWidget* w)
{
  if (!w)
    return QImage();
  if (!w->isVisible())
    w->resize(w->sizeHint().expandedTo(w->minimumSizeHint()));
  w->ensurePolished();
  if (w->layout())
    w->layout()->activate();
  QApplication::processEvents();
  return w->grab().toImage();
}

namespace {
// The preferences window: one page per registered page, chosen from a list.
class PrefsWindow : public QDialog
{
public:
  // Held by pointer: the widgets' handlers keep the address.
  std::vector<std::unique_ptr<DialogWidgets>> pages;
  PrefsWindow()
  {
    setWindowTitle("Preferences");
    auto* lay = new QHBoxLayout(this);
    auto* list = new QListWidget(this);
    auto* stack = new QStackedWidget(this);
    lay->addWidget(list, 1);
    lay->addWidget(stack, 3);
    for (const ui::PrefsPage& p : ui::PrefsPages()) {
      if (!p.dialog) {
        stack->addWidget(new QLabel("This page has no layout in this host yet.", stack));
        list->addItem(Q(p.name));
        continue;
      }
      if (!ui::OpenSubDialog(p.dialog))
        continue;
      auto w = std::make_unique<DialogWidgets>();
      w->dialog = p.dialog;
      stack->addWidget(w->Build(p.dialog, stack));
      w->RefreshAll(p.dialog);
      pages.push_back(std::move(w));
      list->addItem(Q(p.name));
    }
    QObject::connect(list, &QListWidget::currentRowChanged, stack, &QStackedWidget::setCurrentIndex);
    list->setCurrentRow(0);
    resize(560, 360);
  }
  ~PrefsWindow() override
  {
    for (auto& w : pages)
      ui::CloseSubDialog(w->dialog);
  }
};
} // namespace

int RunMainWindow(const MainWindowOptions& o, MainWindowResult* result)
{
  std::shared_ptr<QtFrontEnd> fe = StartQt();
  int rc = 0;
  {
    QMainWindow win;
    win.setWindowTitle("orxhost");
    QMenu* commands = win.menuBar()->addMenu("&Commands");
    for (const ui::CommandInfo& c : ui::Commands()) {
      QAction* a = commands->addAction(Q(c.name));
      if (result)
        result->menu.push_back(c.name);
      a->setToolTip(Q(c.help));
      const Int32 id = c.id;
      const std::string name = c.name;
      // Commands registered by name only have nothing to run yet: they say so on the console.
      QObject::connect(a, &QAction::triggered, &win, [id, name] {
        if (!ui::ExecuteCommand(id)) {
          const String line("orxhost: " + name + " did not run");
          GePrint(line);
        }
      });
    }
    QMenu* edit = win.menuBar()->addMenu("&Edit");
    std::unique_ptr<PrefsWindow> prefs;
    QObject::connect(edit->addAction("&Preferences..."), &QAction::triggered, &win, [&] {
      prefs = std::make_unique<PrefsWindow>();
      prefs->show();
    });
    if (result)
      for (const ui::PrefsPage& p : ui::PrefsPages())
        result->pages.push_back(p.name);
    win.menuBar()->addMenu("&Help")->addAction("About orxhost");

    auto* console = new QPlainTextEdit(&win);
    console->setReadOnly(true);
    console->setPlaceholderText("Console");
    win.setCentralWidget(console);
    std::size_t shown = 0;
    auto refresh = [console, &shown] {
      const std::vector<std::string> lines = orxhost::ConsoleLines();
      for (; shown < lines.size(); ++shown)
        console->appendPlainText(Q(lines[shown]));
    };
    refresh();
    QTimer consoleTimer;
    QObject::connect(&consoleTimer, &QTimer::timeout, &win, refresh);
    consoleTimer.start(200);
    win.statusBar()->showMessage(QString("%1 commands, %2 preference pages")
                                     .arg(ui::Commands().size())
                                     .arg(ui::PrefsPages().size()));
    win.resize(720, 420);
    win.show();

    if (!o.screenshot.empty()) {
      // The menu is a window of its own: it is drawn into the picture where it opens.
      QTimer::singleShot(std::max(0, o.afterMs / 2), &win, [&] {
        commands->popup(win.mapToGlobal(win.menuBar()->actionGeometry(commands->menuAction()).bottomLeft()));
      });
      QTimer::singleShot(std::max(0, o.afterMs), &win, [&] {
        QPixmap shot = win.grab();
        if (commands->isVisible()) {
          QPainter p(&shot);
          p.drawPixmap(win.mapFromGlobal(commands->pos()), commands->grab());
        }
        if (result) {
          result->width = shot.width();
          result->height = shot.height();
        }
        if (!shot.save(Q(o.screenshot), "PNG")) {
          std::fprintf(stderr, "orxhost gui: cannot write %s\n", o.screenshot.c_str());
          rc = 1;
        }
        commands->hide();
        QApplication::quit();
      });
    }
    QApplication::exec();
    prefs.reset();
  }
  StopQt(fe);
  return rc;
}

} // namespace orxhost::qt
