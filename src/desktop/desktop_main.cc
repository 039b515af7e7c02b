// The desktop application: one window over the job engine. This is the only
// translation unit that reads the GTK headers, which are slow to compile.
#include <adwaita.h>
#include <gtkmm.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "desktop/disk_monitor.h"
#include "desktop/job_bridge.h"
#include "desktop/view_state.h"
#include "job/disk_listing.h"
#include "job/multi_write_job.h"
#include "job/signal_relay.h"
#include "job/write_job.h"

namespace ravik::desktop {
namespace {

constexpr const char* kApplicationId = "org.ravik.DeviceWriter";

struct AppOptions {
  std::string helper;  // test-only: a helper other than the installed one
  bool loop_devices = false;
  int width = 1280;
  int height = 800;
  std::string image;  // given on the command line, as the launcher entry's %f
};

std::string size_text(std::uint64_t bytes) {
  constexpr double kGigabyte = 1000.0 * 1000.0 * 1000.0;
  if (bytes >= 1000ULL * 1000 * 1000) {
    return printed("%.1f GB", static_cast<double>(bytes) / kGigabyte);
  }
  return printed("%.1f MB", static_cast<double>(bytes) / 1e6);
}

std::string image_format(const std::string& name) {
  for (const char* suffix : {".xz", ".zst", ".gz", ".bz2", ".zip", ".iso"}) {
    const std::string s(suffix);
    if (name.size() > s.size() && name.ends_with(s)) return s.substr(1);
  }
  return "raw";
}

class Window {
 public:
  Window(Gtk::Application& app, AppOptions options) : options_(std::move(options)) {
    window_ = ADW_APPLICATION_WINDOW(adw_application_window_new(app.gobj()));
    gtk_window_set_title(GTK_WINDOW(window_), "Ravik Device Writer");
    gtk_window_set_default_size(GTK_WINDOW(window_), options_.width, options_.height);
    gtk_widget_set_size_request(GTK_WIDGET(window_), 800, 600);

    auto* header = adw_header_bar_new();
    outer_.append(*Glib::wrap(header));
    content_.set_margin(18);
    content_.set_spacing(12);
    content_.set_vexpand(true);
    outer_.append(content_);

    auto* image_title = Gtk::make_managed<Gtk::Label>();
    image_title->set_markup("<b>Image</b>");
    image_title->set_halign(Gtk::Align::START);
    content_.append(*image_title);
    choose_.set_label("Choose Image…");
    choose_.signal_clicked().connect([this] { choose_image(); });
    image_row_.set_spacing(12);
    image_row_.append(choose_);
    image_label_.set_text("No image chosen; choose one or drop it onto the window.");
    image_label_.set_wrap(true);
    image_row_.append(image_label_);
    content_.append(image_row_);

    auto* disks_title = Gtk::make_managed<Gtk::Label>();
    disks_title->set_markup("<b>Disks</b>");
    disks_title->set_halign(Gtk::Align::START);
    content_.append(*disks_title);
    disks_.set_selection_mode(Gtk::SelectionMode::NONE);
    scroller_.set_child(disks_);
    scroller_.set_vexpand(true);
    scroller_.set_policy(Gtk::PolicyType::NEVER, Gtk::PolicyType::AUTOMATIC);
    content_.append(scroller_);

    write_.set_label("Write");
    write_.add_css_class("destructive-action");
    write_.set_sensitive(false);
    write_.signal_clicked().connect([this] { confirm_write(); });
    status_.set_wrap(true);
    status_.set_halign(Gtk::Align::START);
    status_.set_hexpand(true);
    actions_.set_spacing(12);
    cancel_.set_label("Cancel");
    cancel_.set_visible(false);
    cancel_.signal_clicked().connect([] { job::signal_relay::cancel(); });
    actions_.append(status_);
    actions_.append(cancel_);
    actions_.append(write_);
    progress_.set_spacing(6);
    content_.append(progress_);
    content_.append(actions_);
    dispatcher_.connect([this] { take_job_events(); });

    adw_application_window_set_content(window_, GTK_WIDGET(outer_.gobj()));

    auto drop = Gtk::DropTarget::create(G_TYPE_FILE, Gdk::DragAction::COPY);
    drop->signal_drop().connect(
        [this](const Glib::ValueBase& value, double, double) {
          auto* file = G_FILE(g_value_get_object(value.gobj()));
          if (file == nullptr) return false;
          set_image(Glib::wrap(G_FILE(g_object_ref(file))));
          return true;
        },
        false);
    gtk_widget_add_controller(GTK_WIDGET(window_),
                              GTK_EVENT_CONTROLLER(drop->gobj_copy()));

    if (!options_.image.empty()) set_image(Gio::File::create_for_path(options_.image));
    refresh_disks();
    if (monitor_.ok()) {
      monitor_watch_ = Glib::signal_io().connect(
          [this](Glib::IOCondition) {
            if (monitor_.drain()) refresh_disks();
            return true;
          },
          monitor_.fd(), Glib::IOCondition::IO_IN);
    } else {
      status_.set_text(
          "Disks plugged in or pulled are not seen: udev could not be monitored.");
    }
    gtk_window_present(GTK_WINDOW(window_));
  }

  ~Window() {
    monitor_watch_.disconnect();
    if (worker_.joinable()) {
      job::signal_relay::cancel();
      worker_.join();
    }
  }
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;

 private:
  void choose_image() {
    chooser_ = Gtk::FileChooserNative::create(
        "Choose Image", Gtk::FileChooser::Action::OPEN, "_Open", "_Cancel");
    gtk_native_dialog_set_transient_for(GTK_NATIVE_DIALOG(chooser_->gobj()),
                                        GTK_WINDOW(window_));
    auto images = Gtk::FileFilter::create();
    images->set_name("Disk images");
    for (const char* pattern :
         {"*.img", "*.raw", "*.iso", "*.xz", "*.zst", "*.gz", "*.bz2", "*.zip"}) {
      images->add_pattern(pattern);
    }
    chooser_->add_filter(images);
    auto all = Gtk::FileFilter::create();
    all->set_name("All files");
    all->add_pattern("*");
    chooser_->add_filter(all);
    chooser_->signal_response().connect([this](int response) {
      if (response == GTK_RESPONSE_ACCEPT) set_image(chooser_->get_file());
      chooser_.reset();
    });
    chooser_->show();
  }

  void set_image(const Glib::RefPtr<Gio::File>& file) {
    image_path_ = file->get_path();
    std::uint64_t size = 0;
    try {
      size = static_cast<std::uint64_t>(
          file->query_info(G_FILE_ATTRIBUTE_STANDARD_SIZE)->get_size());
    } catch (const Glib::Error& error) {
      status_.set_text(printed("The image cannot be read: %s", error.what()));
    }
    image_size_ = size;
    const std::string name = file->get_basename();
    image_label_.set_text(printed("%s (%s, %s)", name.c_str(), image_format(name).c_str(),
                                  size_text(size).c_str()));
    refresh_disks();
  }

  void refresh_disks() {
    while (auto* child = disks_.get_first_child()) disks_.remove(*child);
    disk_checks_.clear();
    auto listed = job::list_disks(
        LinuxSystemPaths{},
        RemovabilityPolicy{.treat_loop_devices_as_removable = options_.loop_devices});
    if (!listed) {
      status_.set_text(printed("%s: %s",
                               std::string(listed.error().code().text()).c_str(),
                               listed.error().message().c_str()));
      return;
    }
    for (const auto& disk : *listed) {
      // A loop device with nothing attached is no disk at all.
      if (disk.transport == "loop" && disk.size_bytes == 0) continue;
      if (disk.transport == "loop" && !options_.loop_devices) continue;
      std::string reason = disk.reason;
      if (reason.empty() && image_size_ > disk.size_bytes)
        reason = "too small for the image";
      std::string text =
          printed("%s %s (%s, %s)", disk.model.empty() ? "Disk" : disk.model.c_str(),
                  size_text(disk.size_bytes).c_str(), disk.device_path.c_str(),
                  disk.transport.c_str());
      if (!disk.mounted.empty())
        text += printed(", mounted on %s", disk.mounted.front().c_str());
      if (!reason.empty()) text += printed(" (refused: %s)", reason.c_str());
      // The reason can be long: it wraps rather than widen the window past
      // a small screen.
      auto* check = Gtk::make_managed<Gtk::CheckButton>();
      auto* label = Gtk::make_managed<Gtk::Label>(text);
      label->set_wrap(true);
      label->set_xalign(0);
      check->set_child(*label);
      gtk_accessible_update_property(GTK_ACCESSIBLE(check->gobj()),
                                     GTK_ACCESSIBLE_PROPERTY_LABEL, text.c_str(), -1);
      check->set_sensitive(reason.empty());
      check->set_active(reason.empty() && chosen_.contains(disk.device_path));
      check->signal_toggled().connect([this, check, path = disk.device_path] {
        if (check->get_active()) {
          chosen_.insert(path);
        } else {
          chosen_.erase(path);
        }
        update_write();
      });
      disks_.append(*check);
      disk_checks_.push_back({disk.device_path, text});
    }
    std::erase_if(chosen_, [this](const std::string& path) {
      return std::ranges::find(disk_checks_, path, &ListedRow::path) ==
             disk_checks_.end();
    });
    if (disk_checks_.empty()) {
      auto* none = Gtk::make_managed<Gtk::Label>("No removable disk is plugged in.");
      disks_.append(*none);
    }
    update_write();
  }

  void update_write() {
    write_.set_sensitive(!image_path_.empty() && !chosen_.empty() && !worker_.joinable());
  }

  static void on_confirm(AdwMessageDialog*, const char* response, gpointer self) {
    if (std::string(response) == "write") static_cast<Window*>(self)->start_write();
  }

  // The job runs on its own thread and reports through the bridge; the
  // dispatcher brings each report to the main context.
  void start_write() {
    std::vector<std::string> devices(chosen_.begin(), chosen_.end());
    job::JobOptions request;
    request.image_path = image_path_;
    request.target_path = devices.front();
    request.more_target_paths.assign(devices.begin() + 1, devices.end());
    if (!options_.helper.empty()) request.helper_path = options_.helper;
    request.elevation = job::Elevation::kPkexec;
    request.assume_yes = true;
    view_ = ViewState{};
    view_.apply(JobStarted{.devices = devices, .image_bytes = image_size_});
    bridge_ = std::make_unique<JobBridge>(devices, [this] { dispatcher_.emit(); });
    job_done_ = false;
    job::signal_relay::new_job();
    std::string self(4096, '\0');
    const ssize_t length = readlink("/proc/self/exe", self.data(), self.size() - 1);
    self.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    worker_ = std::thread([this, request, self] {
      if (request.more_target_paths.empty()) {
        job_status_ = job::run_write_job(request, self, *bridge_);
      } else {
        job_status_ = job::run_multi_write_job(request, self, *bridge_);
      }
      job_done_ = true;
      dispatcher_.emit();
    });
    write_.set_sensitive(false);
    cancel_.set_visible(true);
    status_.set_text("Writing…");
    show_rows();
  }

  void take_job_events() {
    if (!bridge_) return;
    for (const auto& event : bridge_->take()) view_.apply(event);
    show_rows();
    if (job_done_ && worker_.joinable()) {
      worker_.join();
      cancel_.set_visible(false);
      status_.set_text(job_status_ == 0 ? "Done." : "The job did not succeed.");
      update_write();
    }
  }

  void show_rows() {
    while (auto* child = progress_.get_first_child()) progress_.remove(*child);
    for (const auto& row : view_.rows()) {
      auto* line = Gtk::make_managed<Gtk::Label>(
          printed("%s: %s", row.device.c_str(), ViewState::status_text(row).c_str()));
      line->set_wrap(true);
      line->set_xalign(0);
      progress_.append(*line);
    }
  }

  void confirm_write() {
    std::string body = "Everything on these disks is erased:\n";
    for (const auto& row : disk_checks_) {
      if (chosen_.contains(row.path)) body += "\n" + row.text;
    }
    auto* dialog =
        adw_message_dialog_new(GTK_WINDOW(window_), "Erase and Write?", body.c_str());
    adw_message_dialog_add_responses(ADW_MESSAGE_DIALOG(dialog), "cancel", "_Cancel",
                                     "write", "_Erase and Write", nullptr);
    adw_message_dialog_set_response_appearance(ADW_MESSAGE_DIALOG(dialog), "write",
                                               ADW_RESPONSE_DESTRUCTIVE);
    adw_message_dialog_set_default_response(ADW_MESSAGE_DIALOG(dialog), "cancel");
    adw_message_dialog_set_close_response(ADW_MESSAGE_DIALOG(dialog), "cancel");
    gtk_window_set_modal(GTK_WINDOW(dialog), true);
    g_signal_connect(dialog, "response", G_CALLBACK(on_confirm), this);
    gtk_window_present(GTK_WINDOW(dialog));
  }

  struct ListedRow {
    std::string path;
    std::string text;
  };

  AppOptions options_;
  AdwApplicationWindow* window_ = nullptr;
  Gtk::Box outer_{Gtk::Orientation::VERTICAL};
  Gtk::Box content_{Gtk::Orientation::VERTICAL};
  Gtk::Box image_row_{Gtk::Orientation::HORIZONTAL};
  Gtk::Box actions_{Gtk::Orientation::HORIZONTAL};
  Gtk::Button choose_;
  Gtk::Label image_label_;
  Gtk::ScrolledWindow scroller_;
  Gtk::ListBox disks_;
  Gtk::Button write_;
  Gtk::Button cancel_;
  Gtk::Box progress_{Gtk::Orientation::VERTICAL};
  Glib::Dispatcher dispatcher_;
  ViewState view_;
  std::unique_ptr<JobBridge> bridge_;
  std::atomic<bool> job_done_ = false;
  int job_status_ = 0;
  std::thread worker_;
  Gtk::Label status_;
  Glib::RefPtr<Gtk::FileChooserNative> chooser_;
  std::string image_path_;
  std::uint64_t image_size_ = 0;
  std::set<std::string> chosen_;
  std::vector<ListedRow> disk_checks_;
  DiskMonitor monitor_;
  sigc::connection monitor_watch_;
};

}  // namespace
}  // namespace ravik::desktop

int main(int argc, char** argv) {
  using ravik::desktop::AppOptions;
  AppOptions options;
  // The test-only options are taken out before GTK sees the command line.
  std::vector<char*> rest{argv[0]};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--loop-devices") {
      options.loop_devices = true;
    } else if (arg == "--helper" && i + 1 < argc) {
      options.helper = argv[++i];
    } else if (arg == "--window-size" && i + 1 < argc) {
      // Test-only: the screenshots are taken at fixed sizes without a
      // window manager to resize the window.
      if (std::sscanf(argv[++i], "%dx%d", &options.width, &options.height) != 2) {
        std::fprintf(stderr, "--window-size takes WIDTHxHEIGHT\n");
        return 2;
      }
    } else if (!arg.starts_with("-") && options.image.empty()) {
      options.image = arg;
    } else {
      rest.push_back(argv[i]);
    }
  }
  adw_init();
  auto app = Gtk::Application::create(ravik::desktop::kApplicationId,
                                      Gio::Application::Flags::NON_UNIQUE);
  std::unique_ptr<ravik::desktop::Window> window;
  app->signal_activate().connect([&] {
    if (!window) window = std::make_unique<ravik::desktop::Window>(*app, options);
  });
  const int status = app->run(static_cast<int>(rest.size()), rest.data());
  window.reset();
  return status;
}
