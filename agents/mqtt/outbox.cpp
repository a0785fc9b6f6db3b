#include "outbox.h"

#include <algorithm>
#include <cstdio>

namespace mqtt_agent {

namespace {

// Beyond this much in memory (the file refusing writes) the oldest messages are dropped.
constexpr std::size_t kMostMemoryBytes = 4 << 20;
// The running number is saved once per this many numbers, ahead of use: a crash skips numbers but
// never gives one twice.
constexpr std::int64_t kSequenceBlock = 10000;
// A file that could not be opened is tried again at most this often.
constexpr std::time_t kReopenSeconds = 10;

}  // namespace

Outbox::Outbox(std::string path, std::int64_t limit) : path_(std::move(path)), limit_(std::max<std::int64_t>(limit, 1)) {
  std::string error;
  file_ = QueueFile::open(path_, error);
  const std::time_t now = std::time(nullptr);
  if (!file_) {
    std::fprintf(stderr, "mqtt_agent: the queue file %s cannot be used (%s): messages wait in memory until it can\n",
                 path_.c_str(), error.c_str());
    failing_ = true;
    last_open_try_ = now;
    // Numbered past what an older file may hold, should it become usable later.
    next_id_ = static_cast<std::int64_t>(std::max<std::time_t>(now, 1)) << 20;
    return;
  }
  next_id_ = file_->last_id() + 1;
  sequence_ = sequence_reserved_ = file_->counter("sequence");
  counters_.dropped = file_->counter("dropped");
  saved_ = file_->take_sensors();
}

Outbox::~Outbox() {
  sequence_reserved_ = sequence_;
  retry_at_ = 0;
  write_batch(true, std::time(nullptr));
}

void Outbox::file_failed(const std::string &what, const std::string &error) {
  ++counters_.write_failures;
  if (!failing_)
    std::fprintf(stderr, "mqtt_agent: the queue file %s refused a %s (%s): messages wait in memory (at most %lld)\n",
                 path_.c_str(), what.c_str(), error.c_str(), static_cast<long long>(limit_));
  failing_ = true;
}

void Outbox::reopen(std::time_t now) {
  if (file_ || now - last_open_try_ < kReopenSeconds) return;
  last_open_try_ = now;
  std::string error;
  file_ = QueueFile::open(path_, error);
  if (!file_) return;
  const std::int64_t first_in_memory = memory_.empty() ? next_id_ : memory_.begin()->first;
  if (file_->last_id() >= first_in_memory) {
    std::fprintf(stderr, "mqtt_agent: the queue file %s holds messages numbered past those in memory: moved aside to %s.bad\n",
                 path_.c_str(), path_.c_str());
    file_.reset();
    move_aside(path_);
    file_ = QueueFile::open(path_, error);
    if (!file_) return;
  }
  sequence_reserved_ = std::max(sequence_reserved_, file_->counter("sequence"));
  sequence_ = std::max(sequence_, sequence_reserved_);
  ++generation_;
}

void Outbox::recover_damaged(const char *what) {
  const std::int64_t lost = std::max<std::int64_t>(file_->rows() - static_cast<std::int64_t>(acknowledged_.size()), 0);
  std::fprintf(stderr, "mqtt_agent: the queue file %s failed a %s, damaged: moved aside to %s.bad (%lld messages lost), a fresh one started\n",
               path_.c_str(), what, path_.c_str(), static_cast<long long>(lost));
  file_.reset();
  move_aside(path_);
  counters_.dropped += lost;
  counters_.dropped_total += lost;
  acknowledged_.clear();
  last_open_try_ = 0;
  reopen(std::time(nullptr));
}

void Outbox::count_unsaved() {
  for (auto it = memory_.upper_bound(unsaved_upto_); it != memory_.end(); ++it) ++counters_.unsaved;
  if (!memory_.empty()) unsaved_upto_ = std::max(unsaved_upto_, memory_.rbegin()->first);
}

void Outbox::drop_oldest_in_memory() {
  const auto oldest = memory_.begin();
  memory_bytes_ -= oldest->second.topic.size() + oldest->second.payload.size();
  memory_.erase(oldest);
  ++counters_.dropped;
  ++counters_.dropped_total;
}

void Outbox::push(const std::string &topic, const std::string &payload, bool retain) {
  const std::int64_t id = next_id_++;
  memory_.emplace(id, QueuedMessage{id, topic, payload, retain});
  memory_bytes_ += topic.size() + payload.size();
  if (first_waiting_ == 0) first_waiting_ = std::time(nullptr);
  if (memory_.size() > kMemoryMessages || memory_bytes_ > kMemoryBytes || (!connected_ && memory_.size() >= kBatchMessages))
    write_batch(true, std::time(nullptr));
  // What the file would not take stays here, within the limit and the memory bound.
  while (!memory_.empty() &&
         (static_cast<std::int64_t>(memory_.size()) > limit_ || (memory_bytes_ > kMostMemoryBytes && memory_.size() > 1)))
    drop_oldest_in_memory();
}

std::vector<QueuedMessage> Outbox::after(std::int64_t after, std::size_t count) {
  std::vector<QueuedMessage> messages;
  const bool file_first = file_ && file_->rows() > 0 && (memory_.empty() || after < memory_.begin()->first);
  if (file_first && !file_->read(after, count, acknowledged_, messages)) {
    messages.clear();
    if (file_->damaged()) recover_damaged("read");
  }
  for (auto it = memory_.upper_bound(after); it != memory_.end() && messages.size() < count; ++it)
    if (messages.empty() || it->first > messages.back().id) messages.push_back(it->second);
  return messages;
}

void Outbox::remove(std::int64_t id) {
  const auto found = memory_.find(id);
  if (found != memory_.end()) {
    memory_bytes_ -= found->second.topic.size() + found->second.payload.size();
    memory_.erase(found);
    if (memory_.empty()) first_waiting_ = 0;
    return;
  }
  if (file_ && id <= file_->last_id()) acknowledged_.insert(id);
}

std::int64_t Outbox::size() const {
  const std::int64_t on_file = file_ ? std::max<std::int64_t>(file_->rows() - static_cast<std::int64_t>(acknowledged_.size()), 0) : 0;
  return on_file + static_cast<std::int64_t>(memory_.size());
}

void Outbox::save_sensor(const std::string &id, const std::string &document, bool present, bool now) {
  sensors_waiting_[id] = SavedSensor{document, present};
  sensors_urgent_ = sensors_urgent_ || now;
}

std::map<std::string, SavedSensor> Outbox::take_saved_sensors() { return std::move(saved_); }

std::int64_t Outbox::next_sequence() {
  ++sequence_;
  if (sequence_ > sequence_reserved_) {
    sequence_reserved_ = sequence_ + kSequenceBlock;
    if (file_) {
      QueueBatch batch;
      batch.counters["sequence"] = sequence_reserved_;
      std::int64_t dropped = 0;
      std::string error;
      if (!file_->write(batch, dropped, error)) file_failed("write", error);
    }
  }
  return sequence_;
}

bool Outbox::write_batch(bool everything, std::time_t now) {
  // After a refusal the file is tried again a while later, not with every message.
  if (failing_ && now < retry_at_) {
    if (everything) count_unsaved();
    return false;
  }
  reopen(now);
  QueueBatch batch;
  if (everything)
    for (const auto &[id, message] : memory_) batch.append.push_back(&message);
  batch.keep = limit_;
  batch.counters["sequence"] = sequence_reserved_;
  batch.counters["dropped"] = counters_.dropped;
  std::int64_t dropped = 0;
  std::string error = "no file";
  bool written = false;
  // A file found damaged is replaced by a fresh one, which gets the batch.
  for (int attempt = 0; attempt < 2 && file_ && !written; ++attempt) {
    batch.remove = acknowledged_;
    batch.sensors.clear();
    batch.sensors = sensors_waiting_;
    written = file_->write(batch, dropped, error);
    if (!written && file_->damaged()) recover_damaged("write");
    else if (!written) break;
  }
  if (!written) {
    file_failed("write", error);
    retry_at_ = now + kReopenSeconds;
    if (everything) count_unsaved();
    return false;
  }
  if (failing_) std::fprintf(stderr, "mqtt_agent: the queue file %s takes writes again\n", path_.c_str());
  failing_ = false;
  if (everything) {
    memory_.clear();
    memory_bytes_ = 0;
    first_waiting_ = 0;
  }
  acknowledged_.clear();
  sensors_waiting_.clear();
  sensors_urgent_ = false;
  counters_.dropped += dropped;
  counters_.dropped_total += dropped;
  return true;
}

void Outbox::maintain(bool connected, std::time_t now) {
  connected_ = connected;
  const bool batch_due = !memory_.empty() && (memory_.size() >= kBatchMessages || now - first_waiting_ >= kBatchSeconds);
  if (!connected && batch_due) {
    write_batch(true, now);
    return;
  }
  // Deletions of acknowledged rows and saved sensors also go in batches; a sensor's new description
  // waits for the next batch of messages while the file refuses writes.
  if (acknowledged_.size() >= kBatchMessages || (sensors_urgent_ && !failing_) || (!acknowledged_.empty() && !connected))
    write_batch(!connected, now);
}

void Outbox::flush(std::time_t now) { write_batch(true, now); }

}  // namespace mqtt_agent
