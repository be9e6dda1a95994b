#include "toolkit/toolkit.hpp"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <algorithm>
#include <bitset>
#include <cmath>
#include <deque>
#include <map>
#include <memory>
#include <new>
#include <utility>

#include "toolkit/form_templates.hpp"

namespace foilcad::toolkit {

namespace {

constexpr int kHighestKind = 16;
constexpr std::size_t kMaxFilterLength = 1000;
constexpr int kMaxEditLength = 32767;
constexpr char kControlProperty[] = "foilcadControl";

void raise_message(int kind, const message& fields);

std::string_view without_trailing_blanks(std::string_view text) {
  const std::size_t end = text.find_last_not_of(' ');
  return end == std::string_view::npos ? std::string_view() : text.substr(0, end + 1);
}

std::string_view up_to_nul(std::string_view text) { return text.substr(0, text.find('\0')); }

QString to_qstring(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// A label that keeps its whole text but shows a long one shortened in the
// middle, with the whole text as its tool tip: a long path must not be cut at
// both ends by the centred alignment.
class FormLabel final : public QLabel {
 public:
  explicit FormLabel(QWidget* parent) : QLabel(parent) { setTextFormat(Qt::PlainText); }

  void set_full_text(const QString& text) {
    full_text_ = text;
    refresh();
  }
  const QString& full_text() const { return full_text_; }

 protected:
  void resizeEvent(QResizeEvent* event) override {
    QLabel::resizeEvent(event);
    refresh();
  }

 private:
  void refresh() {
    const int room = contentsRect().width() - 2 * fontMetrics().averageCharWidth();
    const QString shown = fontMetrics().elidedText(full_text_, Qt::ElideMiddle, std::max(room, 0));
    setText(shown);
    setToolTip(shown == full_text_ ? QString() : full_text_);
  }

  QString full_text_;
};

class MainWindow final : public QWidget {
 public:
  MainWindow() : QWidget(nullptr, Qt::Window) { setObjectName(QStringLiteral("mainWindow")); }

 protected:
  void closeEvent(QCloseEvent* event) override {
    // Closing is the program's decision: it hears of the request and calls
    // window_close when it agrees.
    event->ignore();
    raise_message(close_request, {main_window_number, -1, -1});
  }
};

class FormWindow final : public QWidget {
 public:
  FormWindow(int id, QWidget* owner)
      : QWidget(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
        id_(id) {
    setObjectName(QStringLiteral("form%1").arg(id));
  }

  int id() const { return id_; }
  int mode() const { return mode_; }
  void set_mode(int mode) { mode_ = mode; }

  void add_control(int id, QWidget* control) {
    control->setProperty(kControlProperty, id);
    control->setObjectName(QStringLiteral("control%1").arg(id));
    controls_[id] = control;
  }

  QWidget* control(int id) const {
    const auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : it->second;
  }

  // The identifier of a control of this form, -1 for any other widget.
  int control_id(const QWidget* widget) const {
    if (widget == nullptr || widget->parentWidget() != this) return -1;
    bool ok = false;
    const int id = widget->property(kControlProperty).toInt(&ok);
    return ok ? id : -1;
  }

  QWidget* first_tab_stop() const {
    for (QWidget* widget = nextInFocusChain(); widget != this;
         widget = widget->nextInFocusChain()) {
      if (control_id(widget) >= 0 && (widget->focusPolicy() & Qt::TabFocus) &&
          !widget->isHidden() && widget->isEnabled()) {
        return widget;
      }
    }
    return nullptr;
  }

 protected:
  // Enter and Escape reach the form when the focused control leaves them
  // alone: edit fields pass both on, and buttons pass them on because none of
  // them is a default button.
  void keyPressEvent(QKeyEvent* event) override {
    switch (event->key()) {
      case Qt::Key_Escape:
        if (mode_ == modal) {
          close();
        } else {
          raise_message(push_button, {id_, cancel_command, -1});
        }
        return;
      case Qt::Key_Return:
      case Qt::Key_Enter:
        // Enter on a focused button presses it, as Space does; anywhere else
        // it is the window system's accept command.
        if (auto* button = qobject_cast<QPushButton*>(focusWidget());
            button != nullptr && control_id(button) >= 0 && button->isEnabled()) {
          button->click();
        } else if (mode_ != modal) {
          raise_message(push_button, {id_, accept_command, -1});
        }
        return;
      default:
        QWidget::keyPressEvent(event);
    }
  }

  // The close box does not close a form that the program polls: the program
  // is told (as the cancel command) and decides.
  void closeEvent(QCloseEvent* event) override {
    if (mode_ == modal) {
      event->accept();
      return;
    }
    event->ignore();
    raise_message(push_button, {id_, cancel_command, -1});
  }

 private:
  int id_;
  int mode_ = modeless;
  std::map<int, QWidget*> controls_;  // children of the form, owned by it
};

struct Toolkit {
  std::unique_ptr<QApplication> own_application;  // only when there was none before
  QPointer<QWidget> main_window;
  std::map<int, QPointer<FormWindow>> forms;
  QPointer<FormWindow> current;
  std::deque<std::pair<int, message>> pending;
  std::bitset<kHighestKind + 1> delivered;
  std::unique_ptr<QObject> focus_watch;  // context of the focus-change connection
};

std::unique_ptr<Toolkit> g_toolkit;
int g_last_error = no_error;
int g_dialog_result = 0;

void record(int code) { g_last_error = code; }

void raise_message(int kind, const message& fields) {
  if (!g_toolkit || kind < 1 || kind > kHighestKind || !g_toolkit->delivered.test(kind)) return;
  g_toolkit->pending.emplace_back(kind, fields);
}

// A move of the keyboard focus between two different controls of one form.
// Moves from or to nothing (another program became active, or this one came
// back) and moves to the form itself or to another window raise nothing.
void on_focus_changed(QWidget* old_widget, QWidget* new_widget) {
  if (old_widget == nullptr || new_widget == nullptr || old_widget == new_widget) return;
  auto* form = dynamic_cast<FormWindow*>(old_widget->parentWidget());
  if (form == nullptr) return;
  const int from = form->control_id(old_widget);
  const int to = form->control_id(new_widget);
  if (from < 0 || to < 0) return;
  raise_message(field_changed, {form->id(), from, to});
}

// The average width of a letter as the older window systems measure it for
// layout units: over the 52 letters, rounded.
int average_letter_width(const QFontMetrics& metrics) {
  const int width = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  return (width / 26 + 1) / 2;
}

QWidget* make_control(const ControlTemplate& plan, QWidget* form) {
  const QString text = to_qstring(plan.text);
  const Qt::FocusPolicy focus = (plan.style & kStyleTabStop) ? Qt::StrongFocus : Qt::ClickFocus;
  const Qt::Alignment alignment =
      (plan.style & kStyleCentred) ? Qt::AlignCenter : (Qt::AlignLeft | Qt::AlignVCenter);
  switch (plan.type) {
    case ControlType::label: {
      auto* label = new FormLabel(form);
      label->setAlignment(alignment);
      if (plan.style & kStyleSunken) label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
      label->set_full_text(text);
      return label;
    }
    case ControlType::edit: {
      auto* edit = new QLineEdit(text, form);
      edit->setAlignment(alignment);
      edit->setFocusPolicy(focus);
      edit->setMaxLength(kMaxEditLength);
      return edit;
    }
    case ControlType::button: {
      auto* button = new QPushButton(text, form);
      button->setAutoDefault(false);
      button->setDefault(false);
      button->setFocusPolicy(focus);
      return button;
    }
  }
  return nullptr;
}

FormWindow* build_form(const FormTemplate& plan, QWidget* owner) {
  auto* form = new FormWindow(plan.id, owner);
  form->setWindowTitle(to_qstring(plan.caption));
  QFont font(QStringLiteral("Sans Serif"), plan.font_points,
             plan.font_bold ? QFont::Bold : QFont::Normal);
  font.setStyleHint(QFont::SansSerif);
  form->setFont(font);

  const QFontMetrics metrics(font);
  const double unit_x = average_letter_width(metrics) / 4.0;
  const double unit_y = metrics.height() / 8.0;
  const auto pixels = [](int units, double unit) {
    return static_cast<int>(std::lround(units * unit));
  };
  form->setFixedSize(pixels(plan.width, unit_x), pixels(plan.height, unit_y));

  // Children join the focus chain in the order they are made, which is the
  // template's order and so its tab order.
  for (const ControlTemplate& control : plan.controls) {
    QWidget* widget = make_control(control, form);
    widget->setGeometry(pixels(control.x, unit_x), pixels(control.y, unit_y),
                        pixels(control.width, unit_x), pixels(control.height, unit_y));
    form->add_control(control.id, widget);
    if (auto* button = qobject_cast<QPushButton*>(widget)) {
      QObject::connect(button, &QPushButton::clicked, form, [form, id = control.id] {
        if (form->mode() != modal) raise_message(push_button, {form->id(), id, -1});
      });
    }
  }
  return form;
}

QRect screen_area(const QWidget* widget) {
  const QScreen* screen = widget != nullptr ? widget->screen() : nullptr;
  if (screen == nullptr) screen = QGuiApplication::primaryScreen();
  return screen != nullptr ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
}

void centre_on_screen(QWidget* window) {
  const QRect area = screen_area(window);
  window->move(area.center() - QPoint(window->width() / 2, window->height() / 2));
}

// The control of the current form, recording why there is none.
QWidget* current_control(int field) {
  if (!g_toolkit || !g_toolkit->current) {
    record(error_no_form);
    return nullptr;
  }
  QWidget* control = g_toolkit->current->control(field);
  if (control == nullptr) record(error_no_field);
  return control;
}

QString control_text(const QWidget* control) {
  if (const auto* edit = qobject_cast<const QLineEdit*>(control)) return edit->text();
  if (const auto* label = dynamic_cast<const FormLabel*>(control)) return label->full_text();
  if (const auto* button = qobject_cast<const QPushButton*>(control)) return button->text();
  return {};
}

// A push-button message whose button has been hidden or disabled since the
// click is dropped. The window system's commands (1 and 2) are no controls and
// always go through.
bool button_gone(const message& m) {
  const auto it = g_toolkit->forms.find(m.window);
  if (it == g_toolkit->forms.end() || !it->second) return false;
  const QWidget* button = it->second->control(m.control);
  return button != nullptr && (button->isHidden() || !button->isEnabled());
}

// "Gerber files|*.pho;*.gbr|" -> {"Gerber files (*.pho *.gbr)"}: the last
// character separates alternating descriptions and pattern lists.
QStringList name_filters(std::string_view filter) {
  filter = without_trailing_blanks(filter.substr(0, kMaxFilterLength));
  QStringList filters;
  if (filter.empty()) return filters;
  const char separator = filter.back();
  filter.remove_suffix(1);
  QStringList parts = to_qstring(filter).split(QChar::fromLatin1(separator));
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QStringList patterns = parts[i + 1].split(u';', Qt::SkipEmptyParts);
    for (QString& pattern : patterns) pattern = pattern.trimmed();
    filters << parts[i] + QStringLiteral(" (") + patterns.join(u' ') + u')';
  }
  return filters;
}

// The name field as the folder to start in (empty: the current directory)
// and the file name to offer.
std::pair<QString, QString> split_name(std::string_view name) {
  name = without_trailing_blanks(up_to_nul(name));
  const std::size_t slash = name.rfind('/');
  if (slash == std::string_view::npos) return {QString(), to_qstring(name)};
  std::string_view folder = name.substr(0, slash == 0 ? 1 : slash);
  if (folder.find_first_not_of(' ') == std::string_view::npos) folder = {};
  return {to_qstring(folder), to_qstring(name.substr(slash + 1))};
}

}  // namespace

void toolkit_start() {
  if (g_toolkit) return;
  auto toolkit = std::make_unique<Toolkit>();
  if (QCoreApplication::instance() == nullptr) {
    // The application object keeps references to these for its whole life.
    static int argc = 1;
    static char name[] = "foilcad";
    static char* argv[] = {name, nullptr};
    toolkit->own_application = std::make_unique<QApplication>(argc, argv);
  }
  for (const int kind : {1, 2, 3, 4, 7, 8, 9, 13, 14}) toolkit->delivered.set(kind);
  toolkit->focus_watch = std::make_unique<QObject>();
  auto* application = qobject_cast<QApplication*>(QCoreApplication::instance());
  if (application != nullptr) {
    QObject::connect(application, &QApplication::focusChanged, toolkit->focus_watch.get(),
                     &on_focus_changed);
  }
  g_toolkit = std::move(toolkit);
}

void window_open(int options, std::optional<ScreenPoint> position, std::optional<ScreenSize> size,
                 int /*menu: there are no menus*/, std::string_view title) {
  if (!g_toolkit || g_toolkit->main_window) return;
  auto* window = new MainWindow;
  g_toolkit->main_window = window;
  window->setWindowTitle(to_qstring(without_trailing_blanks(title)));
  const QRect area = screen_area(nullptr);
  const QSize window_size =
      size ? QSize(size->width, size->height) : QSize(area.width() * 4 / 5, area.height() * 4 / 5);
  window->resize(window_size);
  if (position) {
    window->move(position->x, position->y);
  } else {
    centre_on_screen(window);
  }
  if ((options & hidden_window) == 0) window->show();
}

void form_load(int form) {
  if (!g_toolkit) return;
  if (const auto it = g_toolkit->forms.find(form); it != g_toolkit->forms.end() && it->second) {
    g_toolkit->current = it->second;
    return;
  }
  const FormTemplate* plan = find_form_template(form);
  if (plan == nullptr) {
    record(error_no_template);
    return;
  }
  const auto live = std::count_if(g_toolkit->forms.begin(), g_toolkit->forms.end(),
                                  [](const auto& entry) { return !entry.second.isNull(); });
  if (static_cast<std::size_t>(live) >= kMaxForms) {
    record(error_too_many_forms);
    return;
  }
  try {
    FormWindow* window = build_form(*plan, g_toolkit->main_window.data());
    g_toolkit->forms[form] = window;
    g_toolkit->current = window;
  } catch (const std::bad_alloc&) {
    record(error_form_failed);
  }
}

void form_show(std::optional<ScreenPoint> position, std::optional<int> focus_field, int mode) {
  if (!g_toolkit || !g_toolkit->current) {
    record(error_no_form);
    return;
  }
  FormWindow* form = g_toolkit->current;
  if (!form->isVisible()) {
    form->set_mode(mode);
    form->setWindowModality(mode == modeless ? Qt::NonModal : Qt::ApplicationModal);
    if (position) {
      form->move(position->x, position->y);
    } else {
      centre_on_screen(form);
    }
  }
  form->show();
  form->raise();
  form->activateWindow();

  QWidget* target = focus_field ? form->control(*focus_field) : nullptr;
  if (focus_field && target == nullptr) record(error_no_field);
  if (target == nullptr) target = form->first_tab_stop();
  if (target != nullptr) {
    target->setFocus(Qt::OtherFocusReason);
  } else {
    form->setFocus(Qt::OtherFocusReason);
  }

  if (mode == modal) {
    QPointer<FormWindow> watched = form;
    while (watched && watched->isVisible()) {
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
  }
}

void field_set_text(int field, std::string_view text) {
  QWidget* control = current_control(field);
  if (control == nullptr) return;
  const QString value = to_qstring(up_to_nul(without_trailing_blanks(text)));
  if (auto* edit = qobject_cast<QLineEdit*>(control)) {
    edit->setText(value);
  } else if (auto* label = dynamic_cast<FormLabel*>(control)) {
    label->set_full_text(value);
  } else if (auto* button = qobject_cast<QPushButton*>(control)) {
    button->setText(value);
  }
}

std::string field_get_text(int field, std::size_t length) {
  const QWidget* control = current_control(field);
  if (control == nullptr) return std::string(length, ' ');
  QString text = control_text(control);
  if (const qsizetype nul = text.indexOf(QChar(u'\0')); nul >= 0) text.truncate(nul);
  const qsizetype kept = static_cast<qsizetype>(std::min<std::size_t>(length, text.size()));
  text.truncate(kept);
  std::string result = text.toStdString();
  result.append(length - static_cast<std::size_t>(kept), ' ');
  return result;
}

void field_set_state(int field, int state) {
  if (state < field_disabled || state > field_hidden) return;
  QWidget* control = current_control(field);
  if (control == nullptr) return;
  auto* edit = qobject_cast<QLineEdit*>(control);
  const bool takes_input = state == field_enabled || (state == field_read_only && edit != nullptr);
  FormWindow* form = g_toolkit->current;
  if (!takes_input && form->focusWidget() == control) {
    // Left alone, the window system would hand the focus on to the next
    // control, and the program would hear of a focus move the user never made.
    form->setFocus(Qt::OtherFocusReason);
  }
  control->setVisible(state != field_hidden);
  control->setEnabled(takes_input);
  if (edit != nullptr) edit->setReadOnly(state == field_read_only);
}

void message_enable(int kind, bool on) {
  if (!g_toolkit || kind < 1 || kind > kHighestKind) return;
  g_toolkit->delivered.set(static_cast<std::size_t>(kind), on);
}

int message_poll(message& m) {
  m = message{};
  if (!g_toolkit) return no_message;
  bool processed = false;
  for (;;) {
    while (!g_toolkit->pending.empty()) {
      const auto [kind, fields] = g_toolkit->pending.front();
      g_toolkit->pending.pop_front();
      if (kind == push_button && button_gone(fields)) continue;
      m = fields;
      return kind;
    }
    if (processed) return no_message;
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    processed = true;
  }
}

void message_wait() {
  if (!g_toolkit || !g_toolkit->pending.empty()) return;
  QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void choose_file(std::string_view filter, int options, std::string& name, std::string_view title,
                 int filter_index) {
  g_dialog_result = 0;
  if (!g_toolkit) return;
  FormWindow* form = g_toolkit->current;
  QWidget* owner = form != nullptr ? static_cast<QWidget*>(form) : g_toolkit->main_window.data();

  // Qt's own dialog rather than the desktop's: it behaves the same on every
  // desktop and honours every option below.
  QFileDialog dialog(owner, to_qstring(without_trailing_blanks(title)));
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode((options & file_must_exist) ? QFileDialog::ExistingFile
                                                 : QFileDialog::AnyFile);
  const QStringList filters = name_filters(filter);
  if (!filters.isEmpty()) {
    dialog.setNameFilters(filters);
    dialog.selectNameFilter(filters.value(filter_index - 1, filters.first()));
  }
  const auto [folder, file] = split_name(name);
  dialog.setDirectory(folder.isEmpty() ? QDir::currentPath() : folder);
  if (!file.isEmpty()) dialog.selectFile(file);

  const QPointer<QWidget> focus = form != nullptr ? form->focusWidget() : nullptr;
  const int answer = dialog.exec();
  // Back to where the user was, without leaving it to the window manager.
  if (form != nullptr) form->activateWindow();
  if (focus) focus->setFocus(Qt::OtherFocusReason);
  if (answer != QDialog::Accepted) return;

  const QStringList chosen = dialog.selectedFiles();
  if (chosen.isEmpty()) {
    record(error_dialog_failed);
    return;
  }
  const QFileInfo info(chosen.first());
  if ((options & file_must_exist) && (!info.exists() || info.isDir())) {
    record(error_dialog_failed);
    return;
  }
  if ((options & follow_directory) && !QDir::setCurrent(info.absolutePath())) {
    record(error_dialog_failed);
    return;
  }
  name = QFile::encodeName(info.absoluteFilePath()).toStdString();
  g_dialog_result = 1;
}

int last_dialog_result() { return g_dialog_result; }

void error_box(std::string_view title, std::string_view text) {
  QWidget* owner = nullptr;
  if (g_toolkit) {
    owner = g_toolkit->current ? static_cast<QWidget*>(g_toolkit->current.data())
                               : g_toolkit->main_window.data();
  }
  QMessageBox box(QMessageBox::Critical, to_qstring(title), to_qstring(text), QMessageBox::Ok,
                  owner);
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

void window_close() {
  if (!g_toolkit) return;
  const std::unique_ptr<Toolkit> toolkit = std::move(g_toolkit);
  toolkit->focus_watch.reset();
  for (auto& [id, form] : toolkit->forms) delete form.data();
  delete toolkit->main_window.data();
}

int last_error() { return g_last_error; }

}  // namespace foilcad::toolkit
