// SPDX-License-Identifier: MIT
#include "app/qt/qt_toolkit.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdint>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QEventLoop>
#include <QFrame>
#include <QIcon>
#include <QLabel>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>
#include <QTranslator>
#include <QUrl>
#include <QWidget>

#include "app/qt/download_offer.h"
#include "web/codepage.h"
#include "web/fetch.h"
#include "web/url.h"

// The icon lives in a static library: its resource must be pulled in by hand.
static void InitResources() { Q_INIT_RESOURCE(kestrune); }

namespace kestrune {
namespace {

// Threads started by StartThread have no Qt event dispatcher; ProcessEvents
// there has nothing to do and must not make Qt adopt the thread.
thread_local bool t_ourWorker = false;

constexpr int kMinPlace = -32627, kMaxPlace = 32627;
constexpr int kMinSize = 0, kMaxSize = 32627;

QString ToQt(std::string_view ansi) {
  std::string utf8 = AnsiToUtf8(ansi);
  // Widgets break lines at "\n"; a "\r" would be drawn as a glyph.
  if (utf8.find('\r') != std::string::npos) {
    std::string shown;
    for (std::size_t i = 0; i < utf8.size(); ++i)
      if (!(utf8[i] == '\r' && i + 1 < utf8.size() && utf8[i + 1] == '\n')) shown += utf8[i];
    utf8.swap(shown);
  }
  return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

Text FromQt(const QString& s) {
  return Utf16ToAnsi(
      std::string_view(reinterpret_cast<const char*>(s.utf16()), static_cast<std::size_t>(s.size()) * 2));
}

bool IsTextProperty(Property p) { return p == Property::Caption || p == Property::Text || p == Property::Address; }
Value EmptyValue(Property p) { return IsTextProperty(p) ? Value(Text()) : Value(0); }

int AsInt(const Value& v) {
  if (const int* i = std::get_if<int>(&v)) return *i;
  return ToNumber(std::get<Text>(v));
}

Text AsText(const Value& v) {
  if (const Text* t = std::get_if<Text>(&v)) return *t;
  return std::to_string(std::get<int>(v));
}

void InstallChineseTranslation() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  auto* translator = new QTranslator(qApp);
  if (translator->load(QStringLiteral("qtbase_zh_CN"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    QCoreApplication::installTranslator(translator);
  else
    delete translator;
}

// The top-level widget of one window. A close asked for by the user goes
// through the toolkit, which may refuse it while a modal window is open.
class FrameWidget : public QWidget {
 public:
  explicit FrameWidget(std::uint64_t id) : id_(id) {}
  std::uint64_t id() const { return id_; }
  std::function<bool()> onUserClose;

 protected:
  void closeEvent(QCloseEvent* event) override {
    if (onUserClose && !onUserClose()) {
      event->ignore();
      return;
    }
    event->accept();
  }

 private:
  std::uint64_t id_;
};

// Swallows user input aimed at windows that a modal window or message box
// blocks. Unlike disabling them, this leaves their look and their controls'
// Disabled state alone, and unlike Qt's application modality it leaves alone
// the message boxes that workers ask for.
class InputBlocker : public QObject {
 public:
  using QObject::QObject;

  void Block(std::uint64_t window) {
    if (counts_.empty()) qApp->installEventFilter(this);
    ++counts_[window];
  }
  void Unblock(std::uint64_t window) {
    auto it = counts_.find(window);
    if (it == counts_.end()) return;
    if (--it->second == 0) counts_.erase(it);
    if (counts_.empty()) qApp->removeEventFilter(this);
  }
  bool IsBlocked(std::uint64_t window) const { return counts_.count(window) != 0; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    switch (event->type()) {
      case QEvent::MouseButtonPress:
      case QEvent::MouseButtonRelease:
      case QEvent::MouseButtonDblClick:
      case QEvent::Wheel:
      case QEvent::KeyPress:
      case QEvent::KeyRelease:
      case QEvent::ShortcutOverride:
      case QEvent::Shortcut:
      case QEvent::ContextMenu:
      case QEvent::TouchBegin:
      case QEvent::TouchUpdate:
      case QEvent::TouchEnd:
      case QEvent::Drop:
        break;
      default:
        return false;
    }
    if (!watched->isWidgetType()) return false;
    const auto* window = dynamic_cast<const FrameWidget*>(static_cast<QWidget*>(watched)->window());
    return window != nullptr && IsBlocked(window->id());
  }

 private:
  std::map<std::uint64_t, int> counts_;
};

// The answer to one message box, given once: by the user, by the end of the
// program, or by a cancelled request.
struct AnswerSlot {
  std::promise<MessageAnswer> promise;
  std::atomic<bool> given{false};
  QEventLoop* loop = nullptr;  // window thread: the modal wait, if any

  void Give(MessageAnswer answer) {
    if (!given.exchange(true)) promise.set_value(answer);
  }
};

// A request from a worker, carried out on the window thread or cancelled.
struct Task {
  std::function<void()> run;
  std::function<void()> cancel;  // any thread; may be empty
  std::promise<bool> done;
};

struct ThreadCount {
  std::mutex mutex;
  int running = 0;
};

}  // namespace

struct QtToolkit::Impl {
  struct Control {
    std::string name;
    ControlKind kind = ControlKind::Label;
    QWidget* widget = nullptr;  // child of the window; none for timers
    QTimer* timer = nullptr;
    int timerPeriod = 0;
    int left = 0, top = 0, width = 0, height = 0;  // timers only: they have no widget
    bool visible = true;                           // timers and browsers, which show nothing
    Text caption;                                  // label, button, edit box: exactly what was written
    bool settingText = false;
    bool userEdited = false;
    std::vector<Text> items;
    std::vector<QLabel*> panels;
    std::vector<Text> panelTexts;
    std::uint64_t loadGeneration = 0;
    BrowserState browser;
  };

  struct Instance {
    std::uint64_t id = 0;
    std::string name;
    Text caption;
    bool centred = false;
    bool fixedFrame = true;
    FrameWidget* widget = nullptr;
    std::map<std::string, Control, std::less<>> controls;
    QEventLoop* modalLoop = nullptr;
  };

  // Blocks input to the open windows but one for as long as it lives.
  class BlockScope {
   public:
    BlockScope(Impl& impl, std::uint64_t except) : impl_(impl) {
      for (const auto& [name, inst] : impl_.instances)
        if (inst->id != except) ids_.push_back(inst->id);
      for (auto id : ids_) impl_.blocker->Block(id);
    }
    ~BlockScope() {
      for (auto id : ids_) impl_.blocker->Unblock(id);
    }
    BlockScope(const BlockScope&) = delete;
    BlockScope& operator=(const BlockScope&) = delete;

   private:
    Impl& impl_;
    std::vector<std::uint64_t> ids_;
  };

  std::weak_ptr<QtToolkit> self;
  std::unique_ptr<QApplication> ownApplication;
  std::thread::id windowThread;
  QObject* context = nullptr;  // window thread: parent of our helpers, target of queued calls
  QSocketNotifier* notifier = nullptr;
  InputBlocker* blocker = nullptr;
  int wakeFd = -1;
  std::shared_ptr<ThreadCount> threads = std::make_shared<ThreadCount>();

  // Shared with workers, under `mutex`.
  mutable std::mutex mutex;
  std::deque<std::shared_ptr<Task>> queue;
  bool ending = false;
  bool exitWanted = false;
  int wantedExitCode = 0;
  std::deque<MessageAnswer> answers;
  std::vector<ShownMessage> messages;
  std::string downloadFolder;
  std::function<void(const std::string&)> urlOpener;
  std::atomic<int> exitCode{-1};
  std::atomic<int> cleanupRuns{0};

  // Window thread only.
  std::map<std::string, WindowDef, std::less<>> defs;
  std::map<std::string, std::shared_ptr<const Handler>, std::less<>> handlers;
  Routine cleanup;
  std::map<std::string, std::shared_ptr<Instance>, std::less<>> instances;
  std::uint64_t nextWindowId = 1;
  QEventLoop* mainLoop = nullptr;
  bool endBegun = false;
  bool finished = false;
  std::map<QMessageBox*, std::shared_ptr<AnswerSlot>> liveBoxes;

  bool OnWindowThread() const { return std::this_thread::get_id() == windowThread; }

  // ---- Requests from workers ----

  void Wake() const {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeFd, &one, sizeof one);
  }

  bool Enqueue(std::shared_ptr<Task> task) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (ending) return false;
      queue.push_back(std::move(task));
    }
    Wake();
    return true;
  }

  // Runs fn on the window thread and waits; false when it was not run.
  bool Call(std::function<void()> fn) {
    if (OnWindowThread()) {
      fn();
      return true;
    }
    auto task = std::make_shared<Task>();
    task->run = std::move(fn);
    auto done = task->done.get_future();
    if (!Enqueue(std::move(task))) return false;
    return done.get();
  }

  // Hands fn to the window thread without waiting.
  void Post(std::function<void()> fn) {
    if (OnWindowThread()) {
      QMetaObject::invokeMethod(
          context,
          [w = self, fn = std::move(fn)] {
            if (auto s = w.lock()) fn();
          },
          Qt::QueuedConnection);
      return;
    }
    auto task = std::make_shared<Task>();
    task->run = std::move(fn);
    Enqueue(std::move(task));
  }

  // From here on workers get empty answers at once; nobody waits for ever.
  void MarkEnding() {
    std::deque<std::shared_ptr<Task>> cancelled;
    {
      std::lock_guard<std::mutex> lock(mutex);
      ending = true;
      cancelled.swap(queue);
    }
    for (auto& task : cancelled) {
      if (task->cancel) task->cancel();
      task->done.set_value(false);
    }
  }

  void Drain() {
    std::uint64_t count = 0;
    while (::read(wakeFd, &count, sizeof count) > 0) {
    }
    // Only the requests present now: a worker that asks again at once must
    // not keep the window thread from its own events. Later ones woke us again.
    std::size_t pending = 0;
    {
      std::lock_guard<std::mutex> lock(mutex);
      pending = queue.size();
    }
    for (; pending > 0; --pending) {
      std::shared_ptr<Task> task;
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (queue.empty()) break;
        task = std::move(queue.front());
        queue.pop_front();
      }
      task->run();
      task->done.set_value(true);
    }
    bool exit = false;
    int code = 0;
    {
      std::lock_guard<std::mutex> lock(mutex);
      exit = std::exchange(exitWanted, false);
      code = wantedExitCode;
    }
    if (exit) BeginEnd(code);
  }

  // ---- Windows ----

  Instance* FindInstance(std::string_view name) {
    auto it = instances.find(name);
    return it == instances.end() ? nullptr : it->second.get();
  }

  Instance* FindInstance(std::uint64_t id) {
    for (auto& [name, inst] : instances)
      if (inst->id == id) return inst.get();
    return nullptr;
  }

  Control* FindControl(std::string_view window, std::string_view control) {
    Instance* inst = FindInstance(window);
    if (inst == nullptr) return nullptr;
    auto it = inst->controls.find(control);
    return it == inst->controls.end() ? nullptr : &it->second;
  }

  Control* FindControl(std::uint64_t id, std::string_view control) {
    Instance* inst = FindInstance(id);
    if (inst == nullptr) return nullptr;
    auto it = inst->controls.find(control);
    return it == inst->controls.end() ? nullptr : &it->second;
  }

  static std::string HandlerKey(std::string_view window, std::string_view control, Event event) {
    std::string key(window);
    key += '\n';
    key += control;
    key += '\n';
    key += static_cast<char>('0' + static_cast<int>(event));
    return key;
  }

  void Fire(std::string_view window, std::string_view control, Event event) {
    auto it = handlers.find(HandlerKey(window, control, event));
    if (it == handlers.end()) return;
    // A copy: the handler may end the program, which drops the table.
    const std::shared_ptr<const Handler> handler = it->second;
    (*handler)();
  }

  void FireFor(std::uint64_t id, const std::string& control, Event event) {
    Instance* inst = FindInstance(id);
    if (inst == nullptr) return;
    const std::string window = inst->name;
    Fire(window, control, event);
  }

  static void ApplyColours(QWidget* widget, const ControlDef& def) {
    if (!def.hasTextColour && !def.hasBackground) return;
    QPalette palette = widget->palette();
    if (def.hasTextColour) {
      const QColor colour(def.textColour.r, def.textColour.g, def.textColour.b);
      for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) palette.setColor(role, colour);
    }
    if (def.hasBackground) {
      const QColor colour(def.background.r, def.background.g, def.background.b);
      for (auto role : {QPalette::Window, QPalette::Base, QPalette::Button}) palette.setColor(role, colour);
      widget->setAutoFillBackground(true);
    }
    widget->setPalette(palette);
  }

  void LayOutPanels(Control& c) {
    int x = 0;
    const int height = c.widget->height();
    for (QLabel* panel : c.panels) {
      panel->setGeometry(x, 0, panel->width(), height);
      x += panel->width();
    }
  }

  Control BuildControl(Instance& inst, QWidget* parent, const ControlDef& def) {
    Control c;
    c.name = def.name;
    c.kind = def.kind;
    const std::uint64_t id = inst.id;
    const std::string name = def.name;
    switch (def.kind) {
      case ControlKind::Label:
      case ControlKind::TransparentLabel: {
        auto* label = new QLabel(parent);
        label->setTextFormat(Qt::PlainText);  // page texts hold markup that must show as it is
        label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        label->setAutoFillBackground(false);
        label->setText(ToQt(def.caption));
        c.caption = def.caption;
        c.widget = label;
        break;
      }
      case ControlKind::Button: {
        auto* button = new QPushButton(ToQt(def.caption), parent);
        button->setAutoDefault(false);
        QObject::connect(button, &QPushButton::clicked, button, [w = self, id, name] {
          if (auto s = w.lock()) s->d_->FireFor(id, name, Event::Clicked);
        });
        c.caption = def.caption;
        c.widget = button;
        break;
      }
      case ControlKind::EditBox: {
        auto* edit = new QPlainTextEdit(parent);
        edit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        QObject::connect(edit, &QPlainTextEdit::textChanged, edit, [w = self, id, name] {
          auto s = w.lock();
          if (!s) return;
          if (Control* ctl = s->d_->FindControl(id, name); ctl != nullptr && !ctl->settingText) ctl->userEdited = true;
        });
        c.caption = def.caption;
        c.settingText = true;
        edit->setPlainText(ToQt(def.caption));
        c.settingText = false;
        c.widget = edit;
        break;
      }
      case ControlKind::ComboBox: {
        auto* combo = new QComboBox(parent);
        combo->setEditable(false);
        combo->setMaxVisibleItems(20);
        for (const Text& item : def.items) combo->addItem(ToQt(item));
        c.items = def.items;
        combo->setCurrentIndex(def.selected >= 0 && def.selected < combo->count() ? def.selected : -1);
        // activated: the user's choice only; a programmatic selection is silent.
        QObject::connect(combo, &QComboBox::activated, combo, [w = self, id, name](int) {
          if (auto s = w.lock()) s->d_->FireFor(id, name, Event::Selected);
        });
        c.widget = combo;
        break;
      }
      case ControlKind::Timer: {
        c.timer = new QTimer(parent);
        c.timer->setObjectName(QString::fromUtf8(def.name));
        c.timer->setTimerType(Qt::PreciseTimer);
        QObject::connect(c.timer, &QTimer::timeout, c.timer, [w = self, id, name] {
          if (auto s = w.lock()) s->d_->FireFor(id, name, Event::Tick);
        });
        c.left = std::clamp(def.left, kMinPlace, kMaxPlace);
        c.top = std::clamp(def.top, kMinPlace, kMaxPlace);
        c.width = std::clamp(def.width, kMinSize, kMaxSize);
        c.height = std::clamp(def.height, kMinSize, kMaxSize);
        SetTimerPeriod(c, def.timerPeriod);
        break;
      }
      case ControlKind::StatusBar: {
        auto* bar = new QFrame(parent);
        for (const StatusPanel& p : def.panels) {
          auto* panel = new QLabel(bar);
          panel->setTextFormat(Qt::PlainText);
          panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
          panel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
          panel->setText(ToQt(p.text));
          panel->resize(std::max(0, p.width), panel->height());
          c.panels.push_back(panel);
          c.panelTexts.push_back(p.text);
        }
        c.widget = bar;
        break;
      }
      case ControlKind::WebBrowser: {
        // Holds a place and a size; a page it loads is never drawn.
        c.widget = new QWidget(parent);
        c.widget->hide();
        break;
      }
    }
    if (c.widget != nullptr) {
      c.widget->setObjectName(QString::fromUtf8(def.name));
      c.widget->setGeometry(std::clamp(def.left, kMinPlace, kMaxPlace), std::clamp(def.top, kMinPlace, kMaxPlace),
                            std::clamp(def.width, kMinSize, kMaxSize), std::clamp(def.height, kMinSize, kMaxSize));
      if (c.kind == ControlKind::StatusBar) LayOutPanels(c);
      ApplyColours(c.widget, def);
      if (def.cursor == Cursor::Hand) c.widget->setCursor(Qt::PointingHandCursor);
    }
    return c;
  }

  std::shared_ptr<Instance> Build(const WindowDef& def) {
    auto inst = std::make_shared<Instance>();
    inst->id = nextWindowId++;
    inst->name = def.name;
    inst->caption = def.caption;
    inst->centred = def.centred;
    inst->fixedFrame = def.fixedFrame;

    auto* widget = new FrameWidget(inst->id);
    inst->widget = widget;
    widget->setObjectName(QString::fromUtf8(def.name));
    Qt::WindowFlags flags = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                            Qt::WindowCloseButtonHint;
    if (def.minimizeButton) flags |= Qt::WindowMinimizeButtonHint;
    if (def.maximizeButton) flags |= Qt::WindowMaximizeButtonHint;
    widget->setWindowFlags(flags);
    widget->setWindowTitle(ToQt(def.caption));
    // The layouts were drawn for a 12-pixel system font.
    QFont font = widget->font();
    font.setPixelSize(12);
    widget->setFont(font);
    if (!def.iconResource.empty()) {
      const QIcon icon(QStringLiteral(":/icons/") + QString::fromUtf8(def.iconResource) + QStringLiteral(".png"));
      if (!icon.isNull()) widget->setWindowIcon(icon);
    }
    SetOuterSize(*inst, def.width, def.height);
    if (!def.centred) widget->move(def.left, def.top);
    const std::uint64_t id = inst->id;
    widget->onUserClose = [w = self, id] {
      auto s = w.lock();
      return !s || s->d_->UserClose(id);
    };
    for (const ControlDef& cd : def.controls) {
      Control control = BuildControl(*inst, widget, cd);
      inst->controls.insert_or_assign(cd.name, std::move(control));
    }
    return inst;
  }

  void SetOuterSize(Instance& inst, int width, int height) {
    const QSize client(std::max(0, std::clamp(width, kMinSize, kMaxSize) - kFrameWidth),
                       std::max(0, std::clamp(height, kMinSize, kMaxSize) - kFrameHeight));
    if (inst.fixedFrame)
      inst.widget->setFixedSize(client);
    else
      inst.widget->resize(client);
  }

  void Show(Instance& inst) {
    if (inst.centred) {
      if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        const QSize outer = inst.widget->size() + QSize(kFrameWidth, kFrameHeight);
        inst.widget->move(area.center().x() - outer.width() / 2 + 1, area.center().y() - outer.height() / 2 + 1);
      }
    }
    // A window shown for the first time comes up on top already.
    inst.widget->show();
    inst.widget->activateWindow();
  }

  bool IsCurrent(const std::shared_ptr<Instance>& inst) {
    auto it = instances.find(inst->name);
    return it != instances.end() && it->second == inst;
  }

  void Dispose(Instance& inst) {
    for (auto& [name, c] : inst.controls)
      if (c.timer != nullptr) c.timer->stop();
    if (inst.modalLoop != nullptr) inst.modalLoop->exit();
    if (inst.widget != nullptr) {
      inst.widget->onUserClose = nullptr;
      inst.widget->hide();
      // Later: a handler of this window may still be running.
      inst.widget->deleteLater();
      inst.widget = nullptr;
    }
  }

  void Load(std::string_view name, bool modal) {
    if (endBegun || finished) return;
    auto d = defs.find(name);
    if (d == defs.end()) return;
    std::shared_ptr<Instance> inst = Build(d->second);
    if (auto old = instances.find(name); old != instances.end()) {
      std::shared_ptr<Instance> previous = old->second;
      instances.erase(old);
      Dispose(*previous);
    }
    instances.emplace(inst->name, inst);
    Fire(inst->name, "", Event::Created);
    if (!IsCurrent(inst)) return;
    Show(*inst);
    if (!modal) return;
    BlockScope scope(*this, inst->id);
    QEventLoop loop;
    inst->modalLoop = &loop;
    if (IsCurrent(inst) && !endBegun) loop.exec();
    inst->modalLoop = nullptr;
  }

  // The user asks to close a window; refused while a modal window blocks it.
  bool UserClose(std::uint64_t id) {
    if (blocker->IsBlocked(id)) return false;
    CloseInstance(id);
    return true;
  }

  void CloseInstance(std::uint64_t id) {
    for (auto it = instances.begin(); it != instances.end(); ++it) {
      if (it->second->id != id) continue;
      std::shared_ptr<Instance> inst = it->second;
      instances.erase(it);
      Dispose(*inst);
      // The program ends with its last window.
      if (instances.empty() && mainLoop != nullptr) BeginEnd(0);
      return;
    }
  }

  // ---- Properties ----

  Value GetWindow(Instance& inst, Property p) {
    QWidget* w = inst.widget;
    switch (p) {
      case Property::Caption:
      case Property::Text:
        return inst.caption;
      case Property::Left:
        return w->x();
      case Property::Top:
        return w->y();
      case Property::Width:
        return w->width() + kFrameWidth;
      case Property::Height:
        return w->height() + kFrameHeight;
      case Property::Visible:
        return w->isHidden() ? 0 : 1;
      case Property::Disabled:
        return w->isEnabled() ? 0 : 1;
      default:
        return EmptyValue(p);
    }
  }

  void SetWindow(Instance& inst, Property p, const Value& v) {
    QWidget* w = inst.widget;
    switch (p) {
      case Property::Caption:
      case Property::Text:
        inst.caption = AsText(v);
        w->setWindowTitle(ToQt(inst.caption));
        break;
      case Property::Left:
        w->move(std::clamp(AsInt(v), kMinPlace, kMaxPlace), w->y());
        break;
      case Property::Top:
        w->move(w->x(), std::clamp(AsInt(v), kMinPlace, kMaxPlace));
        break;
      case Property::Width:
        SetOuterSize(inst, AsInt(v), w->height() + kFrameHeight);
        break;
      case Property::Height:
        SetOuterSize(inst, w->width() + kFrameWidth, AsInt(v));
        break;
      case Property::Visible:
        w->setVisible(AsInt(v) != 0);
        break;
      case Property::Disabled:
        w->setEnabled(AsInt(v) == 0);
        break;
      default:
        break;
    }
  }

  Text EditText(Control& c) {
    if (!c.userEdited) return c.caption;
    // What the user typed, with the line ends an edit box hands back.
    const QString typed = static_cast<QPlainTextEdit*>(c.widget)->toPlainText();
    Text text;
    for (char ch : FromQt(typed)) {
      if (ch == '\n') text += '\r';
      text += ch;
    }
    return text;
  }

  Value Get(std::string_view window, std::string_view control, Property p) {
    Instance* inst = FindInstance(window);
    if (inst == nullptr) return EmptyValue(p);
    if (control.empty()) return GetWindow(*inst, p);
    auto it = inst->controls.find(control);
    if (it == inst->controls.end()) return EmptyValue(p);
    Control& c = it->second;
    QWidget* w = c.widget;
    switch (p) {
      case Property::Caption:
      case Property::Text:
        switch (c.kind) {
          case ControlKind::EditBox:
            return EditText(c);
          case ControlKind::ComboBox: {
            const int index = static_cast<QComboBox*>(w)->currentIndex();
            return index >= 0 && index < static_cast<int>(c.items.size()) ? c.items[index] : Text();
          }
          case ControlKind::StatusBar:
            return c.panelTexts.empty() ? Text() : c.panelTexts.front();
          default:
            return c.caption;
        }
      case Property::Left:
        return w != nullptr ? w->x() : c.left;
      case Property::Top:
        return w != nullptr ? w->y() : c.top;
      case Property::Width:
        return w != nullptr ? w->width() : c.width;
      case Property::Height:
        return w != nullptr ? w->height() : c.height;
      case Property::Visible:
        if (w == nullptr || c.kind == ControlKind::WebBrowser) return c.visible ? 1 : 0;
        return w->isHidden() ? 0 : 1;
      case Property::Disabled:
        if (w == nullptr) return 0;
        return w->isEnabledTo(inst->widget) ? 0 : 1;
      case Property::TimerPeriod:
        return c.timerPeriod;
      case Property::CurrentSelection:
        return c.kind == ControlKind::ComboBox ? static_cast<QComboBox*>(w)->currentIndex() : -1;
      case Property::Address:
        return c.kind == ControlKind::WebBrowser ? c.browser.address : Text();
    }
    return EmptyValue(p);
  }

  static void SetTimerPeriod(Control& c, int period) {
    if (period <= 0) {
      c.timerPeriod = 0;
      c.timer->stop();
      return;
    }
    // The current value again leaves a running timer's rhythm alone.
    if (period == c.timerPeriod && c.timer->isActive()) return;
    c.timerPeriod = period;
    c.timer->start(period);
  }

  void SetCaption(Control& c, const Text& text) {
    switch (c.kind) {
      case ControlKind::Label:
      case ControlKind::TransparentLabel:
        if (c.caption == text) return;
        c.caption = text;
        static_cast<QLabel*>(c.widget)->setText(ToQt(text));
        return;
      case ControlKind::Button:
        if (c.caption == text) return;
        c.caption = text;
        static_cast<QPushButton*>(c.widget)->setText(ToQt(text));
        return;
      case ControlKind::EditBox:
        c.caption = text;
        c.userEdited = false;
        c.settingText = true;
        static_cast<QPlainTextEdit*>(c.widget)->setPlainText(ToQt(text));
        c.settingText = false;
        return;
      default:
        return;
    }
  }

  void Set(std::string_view window, std::string_view control, Property p, const Value& v) {
    Instance* inst = FindInstance(window);
    if (inst == nullptr) return;
    if (control.empty()) {
      SetWindow(*inst, p, v);
      return;
    }
    auto it = inst->controls.find(control);
    if (it == inst->controls.end()) return;
    Control& c = it->second;
    QWidget* w = c.widget;
    switch (p) {
      case Property::Caption:
      case Property::Text:
        SetCaption(c, AsText(v));
        return;
      case Property::Left:
      case Property::Top: {
        const int value = std::clamp(AsInt(v), kMinPlace, kMaxPlace);
        if (w == nullptr) {
          (p == Property::Left ? c.left : c.top) = value;
        } else {
          w->move(p == Property::Left ? value : w->x(), p == Property::Top ? value : w->y());
        }
        return;
      }
      case Property::Width:
      case Property::Height: {
        const int value = std::clamp(AsInt(v), kMinSize, kMaxSize);
        if (w == nullptr) {
          (p == Property::Width ? c.width : c.height) = value;
        } else {
          w->resize(p == Property::Width ? value : w->width(), p == Property::Height ? value : w->height());
          if (c.kind == ControlKind::StatusBar) LayOutPanels(c);
        }
        return;
      }
      case Property::Visible:
        if (w == nullptr || c.kind == ControlKind::WebBrowser)
          c.visible = AsInt(v) != 0;
        else
          w->setVisible(AsInt(v) != 0);
        return;
      case Property::Disabled:
        if (w != nullptr) w->setEnabled(AsInt(v) == 0);
        return;
      case Property::TimerPeriod:
        if (c.timer != nullptr) SetTimerPeriod(c, AsInt(v));
        return;
      case Property::CurrentSelection:
        if (c.kind == ControlKind::ComboBox) {
          auto* combo = static_cast<QComboBox*>(w);
          const int index = AsInt(v);
          combo->setCurrentIndex(index >= 0 && index < combo->count() ? index : -1);
        }
        return;
      case Property::Address:
        if (c.kind == ControlKind::WebBrowser) StartLoad(*inst, c, AsText(v));
        return;
    }
  }

  void SetStatus(std::string_view window, std::string_view bar, int panel, const Text& text) {
    Control* c = FindControl(window, bar);
    if (c == nullptr || c->kind != ControlKind::StatusBar) return;
    if (panel < 0 || panel >= static_cast<int>(c->panels.size())) return;
    if (c->panelTexts[panel] == text) return;
    c->panelTexts[panel] = text;
    c->panels[panel]->setText(ToQt(text));
  }

  // ---- Web browser controls ----

  std::string DownloadFolder() const {
    std::lock_guard<std::mutex> lock(mutex);
    return downloadFolder;
  }

  void StartLoad(Instance& inst, Control& c, const Text& address) {
    const std::uint64_t generation = ++c.loadGeneration;
    c.browser = BrowserState{};
    c.browser.address = address;
    if (!IsWebAddress(address)) return;
    auto s = self.lock();
    if (!s) return;
    c.browser.status = BrowserStatus::Loading;
    const std::uint64_t id = inst.id;
    const std::string control = c.name;
    const std::string folder = DownloadFolder();
    s->StartThread([w = self, id, control, generation, address, folder] {
      Text headers;
      Bytes body = FetchPage(address, 0, {}, nullptr, nullptr, nullptr, nullptr, false, nullptr, nullptr, &headers);
      auto toolkit = w.lock();
      if (!toolkit) return;
      BrowserState result;
      result.address = address;
      if (headers.rfind("HTTP/", 0) != 0) {
        result.status = BrowserStatus::Failed;
      } else if (!IsDownloadAnswer(headers)) {
        result.status = BrowserStatus::Page;
        result.page = std::move(body);
      } else {
        // As a browser does with a file: ask before anything is written.
        static const Text kTitle = Ansi("文件下载");
        const std::string name = DownloadFileName(headers, address);
        const Text question =
            Ansi("是否保存文件“") + Utf8ToAnsi(name) + Ansi("”？\r\n\r\n保存到：") + Utf8ToAnsi(folder);
        if (toolkit->ShowMessage(question, MessageStyle::QuestionYesNo, kTitle) == MessageAnswer::Yes) {
          result.savedPath = SaveNewFile(folder, name, body);
          result.status = result.savedPath.empty() ? BrowserStatus::Failed : BrowserStatus::Saved;
        } else {
          result.status = BrowserStatus::Declined;
        }
      }
      Impl* impl = toolkit->d_.get();
      impl->Post([impl, id, control, generation, result = std::move(result)]() mutable {
        Control* ctl = impl->FindControl(id, control);
        // A newer address written meanwhile wins.
        if (ctl != nullptr && ctl->loadGeneration == generation) ctl->browser = std::move(result);
      });
    });
  }

  // ---- Message boxes ----

  QMessageBox* OpenBox(const Text& text, MessageStyle style, const Text& title, std::shared_ptr<AnswerSlot> slot) {
    const bool question = style == MessageStyle::QuestionYesNo;
    auto* box = new QMessageBox(question ? QMessageBox::Question : QMessageBox::Information, ToQt(title), ToQt(text),
                                question ? (QMessageBox::Yes | QMessageBox::No) : QMessageBox::Ok);
    box->setObjectName(QStringLiteral("KestruneMessage"));
    box->setWindowModality(Qt::NonModal);
    box->setTextFormat(Qt::PlainText);
    box->setDefaultButton(question ? QMessageBox::Yes : QMessageBox::Ok);
    liveBoxes.emplace(box, slot);
    QObject::connect(box, &QDialog::finished, box, [w = self, box] {
      if (auto s = w.lock()) s->d_->BoxFinished(box);
    });
    box->show();
    box->activateWindow();
    return box;
  }

  void BoxFinished(QMessageBox* box) {
    auto it = liveBoxes.find(box);
    if (it == liveBoxes.end()) return;
    std::shared_ptr<AnswerSlot> slot = it->second;
    liveBoxes.erase(it);
    MessageAnswer answer = MessageAnswer::Closed;
    switch (box->standardButton(box->clickedButton())) {
      case QMessageBox::Ok:
        answer = MessageAnswer::Ok;
        break;
      case QMessageBox::Yes:
        answer = MessageAnswer::Yes;
        break;
      case QMessageBox::No:
        answer = MessageAnswer::No;
        break;
      default:
        break;
    }
    slot->Give(answer);
    if (slot->loop != nullptr) slot->loop->exit();
    box->deleteLater();
  }

  void CloseLiveBoxes() {
    std::vector<QMessageBox*> boxes;
    for (const auto& [box, slot] : liveBoxes) boxes.push_back(box);
    for (QMessageBox* box : boxes) box->done(0);
  }

  MessageAnswer ShowOnWindowThread(const Text& text, MessageStyle style, const Text& title) {
    if (endBegun || finished) return MessageAnswer::Closed;
    auto slot = std::make_shared<AnswerSlot>();
    auto answer = slot->promise.get_future();
    BlockScope scope(*this, 0);
    QEventLoop loop;
    slot->loop = &loop;
    OpenBox(text, style, title, slot);
    if (!slot->given) loop.exec();
    slot->loop = nullptr;
    return answer.get();
  }

  MessageAnswer ShowForWorker(const Text& text, MessageStyle style, const Text& title) {
    auto slot = std::make_shared<AnswerSlot>();
    auto answer = slot->promise.get_future();
    auto task = std::make_shared<Task>();
    task->run = [this, slot, text, style, title] {
      if (endBegun || finished)
        slot->Give(MessageAnswer::Closed);
      else
        OpenBox(text, style, title, slot);
    };
    task->cancel = [slot] { slot->Give(MessageAnswer::Closed); };
    if (!Enqueue(std::move(task))) return MessageAnswer::Closed;
    return answer.get();
  }

  // ---- The end ----

  void BeginEnd(int code) {
    if (endBegun || finished) return;
    endBegun = true;
    exitCode = code;
    MarkEnding();
    CloseLiveBoxes();
    for (auto& [name, inst] : instances)
      if (inst->modalLoop != nullptr) inst->modalLoop->exit();
    if (mainLoop != nullptr)
      mainLoop->exit(code);
    else
      Finish();
  }

  void Finish() {
    if (finished) return;
    finished = true;
    endBegun = true;
    if (exitCode < 0) exitCode = 0;
    MarkEnding();
    CloseLiveBoxes();
    for (auto& [name, inst] : instances)
      for (auto& [cname, c] : inst->controls)
        if (c.timer != nullptr) c.timer->stop();
    Routine routine = std::move(cleanup);
    cleanup = nullptr;
    if (routine) {
      routine();
      ++cleanupRuns;
    }
    auto closing = std::move(instances);
    instances.clear();
    for (auto& [name, inst] : closing) Dispose(*inst);
    // Handlers hold the parts' context, and with it this toolkit.
    handlers.clear();
  }

  ~Impl() {
    MarkEnding();
    if (OnWindowThread()) {
      for (auto& [name, inst] : instances) {
        inst->widget->onUserClose = nullptr;
        delete inst->widget;
      }
      instances.clear();
      for (auto& [box, slot] : liveBoxes) slot->Give(MessageAnswer::Closed);
      for (auto& [box, slot] : liveBoxes) delete box;
      liveBoxes.clear();
      if (notifier != nullptr) notifier->setEnabled(false);
      delete context;
      if (wakeFd >= 0) ::close(wakeFd);
      ownApplication.reset();
    } else {
      // Widgets belong to the window thread: hand them over. The eventfd stays
      // open, as the window thread may still be watching it.
      for (auto& [name, inst] : instances)
        if (inst->widget != nullptr) inst->widget->deleteLater();
      if (context != nullptr) context->deleteLater();
      (void)ownApplication.release();
    }
  }
};

// ---- QtToolkit ----

QtToolkit::QtToolkit() : d_(std::make_unique<Impl>()) {}

QtToolkit::~QtToolkit() = default;

std::shared_ptr<QtToolkit> QtToolkit::CreateWithApplication() {
  // The program takes no arguments; Qt wants a name to show.
  static int argc = 1;
  static char name[] = "kestrune";
  static char* argv[] = {name, nullptr};
  auto application = std::make_unique<QApplication>(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("Kestrune"));
  auto toolkit = Create();
  if (toolkit) toolkit->d_->ownApplication = std::move(application);
  return toolkit;
}

std::shared_ptr<QtToolkit> QtToolkit::Create() {
  if (qApp == nullptr || QThread::currentThread() != qApp->thread()) return nullptr;
  InitResources();
  std::shared_ptr<QtToolkit> toolkit(new QtToolkit());
  Impl& d = *toolkit->d_;
  d.self = toolkit;
  d.windowThread = std::this_thread::get_id();
  d.context = new QObject();
  d.wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  d.notifier = new QSocketNotifier(d.wakeFd, QSocketNotifier::Read, d.context);
  QObject::connect(d.notifier, &QSocketNotifier::activated, d.context, [w = d.self] {
    if (auto s = w.lock()) s->d_->Drain();
  });
  d.blocker = new InputBlocker(d.context);
  InstallChineseTranslation();
  // The program ends with its own last window, not with the last message box.
  QGuiApplication::setQuitOnLastWindowClosed(false);
  QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
  if (downloads.isEmpty()) downloads = QDir::homePath() + QStringLiteral("/Downloads");
  d.downloadFolder = downloads.toStdString();
  d.urlOpener = [](const std::string& address) {
    QDesktopServices::openUrl(QUrl(QString::fromStdString(address), QUrl::TolerantMode));
  };
  return toolkit;
}

void QtToolkit::DefineWindow(const WindowDef& def) {
  d_->Call([&] { d_->defs.insert_or_assign(def.name, def); });
}

void QtToolkit::SetHandler(std::string_view window, std::string_view control, Event event, Handler handler) {
  d_->Call([&] {
    d_->handlers.insert_or_assign(Impl::HandlerKey(window, control, event),
                                  std::make_shared<const Handler>(std::move(handler)));
  });
}

void QtToolkit::SetCleanup(Routine cleanup) {
  d_->Call([&] { d_->cleanup = std::move(cleanup); });
}

Value QtToolkit::GetProperty(std::string_view window, std::string_view control, Property property) {
  if (IsWindowThread()) return d_->Get(window, control, property);
  Value value = EmptyValue(property);
  d_->Call([&] { value = d_->Get(window, control, property); });
  return value;
}

void QtToolkit::SetProperty(std::string_view window, std::string_view control, Property property, const Value& value) {
  if (IsWindowThread()) {
    d_->Set(window, control, property, value);
    return;
  }
  d_->Call([&] { d_->Set(window, control, property, value); });
}

void QtToolkit::LoadWindow(std::string_view window, bool modal) {
  auto keep = shared_from_this();
  d_->Call([&] { d_->Load(window, modal); });
}

int QtToolkit::RunMessageLoop() {
  if (!IsWindowThread()) return ExitCode();
  auto keep = shared_from_this();
  Impl& d = *d_;
  if (!d.finished && !d.endBegun && d.mainLoop == nullptr) {
    if (d.instances.empty()) {
      d.BeginEnd(0);
    } else {
      QEventLoop loop;
      d.mainLoop = &loop;
      loop.exec();
      d.mainLoop = nullptr;
    }
  }
  d.Finish();
  return d.exitCode;
}

void QtToolkit::DestroyWindow(std::string_view window) {
  d_->Call([&] {
    Impl::Instance* inst = d_->FindInstance(window);
    if (inst == nullptr) return;
    // Queued: the window goes once the running handler has returned.
    QMetaObject::invokeMethod(
        d_->context,
        [w = d_->self, id = inst->id] {
          if (auto s = w.lock()) s->d_->CloseInstance(id);
        },
        Qt::QueuedConnection);
  });
}

MessageAnswer QtToolkit::ShowMessage(const Text& text, MessageStyle style, const Text& title) {
  {
    std::lock_guard<std::mutex> lock(d_->mutex);
    if (d_->ending && !IsWindowThread()) return MessageAnswer::Closed;
    d_->messages.push_back({text, style, title});
    if (!d_->answers.empty()) {
      const MessageAnswer answer = d_->answers.front();
      d_->answers.pop_front();
      return answer;
    }
  }
  if (IsWindowThread()) {
    auto keep = shared_from_this();
    return d_->ShowOnWindowThread(text, style, title);
  }
  return d_->ShowForWorker(text, style, title);
}

void QtToolkit::SetStatusText(std::string_view window, std::string_view statusBar, int panel, const Text& text) {
  d_->Call([&] { d_->SetStatus(window, statusBar, panel, text); });
}

void QtToolkit::SetClipboardText(const Text& text) {
  d_->Call([&] { QGuiApplication::clipboard()->setText(ToQt(text)); });
}

void QtToolkit::OpenUrl(const Text& address) {
  if (!IsWebAddress(address)) return;
  const QUrl url(ToQt(address), QUrl::TolerantMode);
  const QString scheme = url.scheme().toLower();
  if (!url.isValid() || url.host().isEmpty() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
    return;
  const std::string encoded = url.toString(QUrl::FullyEncoded).toStdString();
  std::function<void(const std::string&)> opener;
  {
    std::lock_guard<std::mutex> lock(d_->mutex);
    opener = d_->urlOpener;
  }
  if (!opener) return;
  // Returns at once: a worker does not wait for the browser to start.
  d_->Post([opener, encoded] { opener(encoded); });
}

void QtToolkit::StartThread(Routine routine) {
  std::shared_ptr<ThreadCount> count = d_->threads;
  {
    std::lock_guard<std::mutex> lock(d_->mutex);
    if (d_->ending) return;
  }
  {
    std::lock_guard<std::mutex> lock(count->mutex);
    ++count->running;
  }
  try {
    // Detached: the program ends without waiting for its workers.
    std::thread([count, routine = std::move(routine)]() mutable {
      t_ourWorker = true;
      routine();
      routine = nullptr;
      std::lock_guard<std::mutex> lock(count->mutex);
      --count->running;
    }).detach();
  } catch (const std::system_error&) {
    std::lock_guard<std::mutex> lock(count->mutex);
    --count->running;
  }
}

void QtToolkit::ProcessEvents() {
  if (IsWindowThread()) {
    QCoreApplication::processEvents();
    return;
  }
  if (t_ourWorker) return;
  // A thread of Qt's own with an event loop of its own.
  if (QAbstractEventDispatcher::instance() != nullptr) QCoreApplication::processEvents();
}

void QtToolkit::ExitProgram(int code) {
  if (IsWindowThread()) {
    d_->BeginEnd(code);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(d_->mutex);
    if (d_->ending) return;
    d_->ending = true;
    d_->exitWanted = true;
    d_->wantedExitCode = code;
  }
  // Workers that come later already find the program ending.
  d_->MarkEnding();
  d_->Wake();
}

bool QtToolkit::RunOnWindowThread(const Routine& fn) {
  if (IsWindowThread()) {
    if (d_->finished) return false;
    fn();
    return true;
  }
  return d_->Call([&] { fn(); });
}

bool QtToolkit::IsWindowThread() const { return d_->OnWindowThread(); }

void QtToolkit::SetNextMessageAnswer(MessageAnswer answer) {
  std::lock_guard<std::mutex> lock(d_->mutex);
  d_->answers.push_back(answer);
}

std::vector<ShownMessage> QtToolkit::Messages() const {
  std::lock_guard<std::mutex> lock(d_->mutex);
  return d_->messages;
}

void QtToolkit::SetUrlOpener(std::function<void(const std::string& utf8Address)> opener) {
  std::lock_guard<std::mutex> lock(d_->mutex);
  d_->urlOpener = std::move(opener);
}

void QtToolkit::SetDownloadFolder(std::string folder) {
  std::lock_guard<std::mutex> lock(d_->mutex);
  d_->downloadFolder = std::move(folder);
}

void QtToolkit::FireEvent(std::string_view window, std::string_view control, Event event) {
  if (IsWindowThread()) d_->Fire(window, control, event);
}

QWidget* QtToolkit::WindowWidget(std::string_view window) const {
  if (!IsWindowThread()) return nullptr;
  Impl::Instance* inst = d_->FindInstance(window);
  return inst != nullptr ? inst->widget : nullptr;
}

QWidget* QtToolkit::ControlWidget(std::string_view window, std::string_view control) const {
  if (!IsWindowThread()) return nullptr;
  Impl::Control* c = d_->FindControl(window, control);
  return c != nullptr ? c->widget : nullptr;
}

Text QtToolkit::StatusText(std::string_view window, std::string_view statusBar, int panel) {
  Text text;
  d_->Call([&] {
    Impl::Control* c = d_->FindControl(window, statusBar);
    if (c != nullptr && panel >= 0 && panel < static_cast<int>(c->panelTexts.size())) text = c->panelTexts[panel];
  });
  return text;
}

bool QtToolkit::IsOpen(std::string_view window) {
  bool open = false;
  d_->Call([&] { open = d_->FindInstance(window) != nullptr; });
  return open;
}

QtToolkit::BrowserState QtToolkit::Browser(std::string_view window, std::string_view control) {
  BrowserState state;
  d_->Call([&] {
    if (Impl::Control* c = d_->FindControl(window, control)) state = c->browser;
  });
  return state;
}

int QtToolkit::CleanupRuns() const { return d_->cleanupRuns; }

bool QtToolkit::Ending() const {
  std::lock_guard<std::mutex> lock(d_->mutex);
  return d_->ending;
}

int QtToolkit::ExitCode() const { return d_->exitCode; }

int QtToolkit::RunningThreads() const {
  std::lock_guard<std::mutex> lock(d_->threads->mutex);
  return d_->threads->running;
}

}  // namespace kestrune
