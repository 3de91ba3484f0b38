#pragma once
// The power systems voka-host runs, as its site file names them: opened,
// started and stopped together, and changed in place when the file is read
// again (SIGHUP): only the systems whose settings changed are stopped and
// made anew; the others poll on undisturbed.
//
// Threads: every member runs on the main thread. The systems' polling threads
// reach the run only through the events and hooks they were given.
#include <memory>
#include <string>
#include <vector>

#include "host/voka-host/history/history_db.h"
#include "host/voka-host/host_controller.h"
#include "host/voka-host/power_system.h"
#include "host/voka-host/site_changes.h"
#include "host/voka-host/site_config.h"

class AlarmEngine;
class PluginLibrary;

class RunningSite {
public:
    // What the systems report to and store in; all must outlive the site.
    // `services.history` is the database `db`.
    struct Services {
        HostController::Services host;
        HistoryDb& db;
        AlarmEngine& alarms;  // the engine in `host`, to forget alarms ended here
    };

    // Makes every power system of `site` (PowerSystem's constructor: throws
    // ConfigError). Nothing is opened yet.
    RunningSite(SiteConfig site, const PluginLibrary& plugin, Services services);
    ~RunningSite();
    RunningSite(const RunningSite&) = delete;
    RunningSite& operator=(const RunningSite&) = delete;

    // Opens every line, announcing each (PowerSystem::open).
    void open(bool line_required);
    // Once the database is open: ends the stored alarms of devices the site
    // no longer has (they would never end otherwise), once, with the reason.
    void end_orphaned_alarms();
    // Gives every device its latest stored image before its first round.
    void reload_images();
    // Starts polling; `hooks` serve the systems started by later reloads too.
    void start(PowerSystem::Hooks hooks);
    // Stops every system (the exchanges in progress end at once).
    void stop();

    // Applies the site file read again. Every new or changed system is made
    // (and its simulator scenario read) before anything stops, so a site that
    // cannot be used throws ConfigError and changes nothing. Then the removed
    // and changed systems stop, their last work is done and stored, the new
    // ones open, get their stored images and start.
    SiteChanges apply(SiteConfig next);

    const SiteConfig& config() const { return site_; }
    // The systems in site order, for the main thread.
    const std::vector<std::unique_ptr<PowerSystem>>& systems() const { return systems_; }

private:
    std::unique_ptr<PowerSystem> make(const PowerSystemConfig& ps, const std::string& site_path) const;
    void announce(const PowerSystemConfig& ps) const;
    void reload_images(const std::vector<PowerSystem*>& systems);
    bool has_device(uint32_t data_id);
    void notice(std::string text) const;

    SiteConfig site_;
    const PluginLibrary& plugin_;
    Services services_;
    PowerSystem::Hooks hooks_;
    bool started_ = false;
    std::vector<std::unique_ptr<PowerSystem>> systems_;  // parallel to site_.power_systems
};
