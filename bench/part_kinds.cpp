// The kinds of parts the generator writes. Each is shaped after code a team
// would write: a record with its constructor and scorer, a class with
// mutating methods, a union matched by `switch`, an interface with several
// implementations, text processing, and numeric code with nullable results.
// Ownership is respected throughout: values stored into fields, containers
// and `take` parameters are always fresh (a literal, a call, an
// interpolation) or a local that is not used again.
#include <algorithm>
#include <array>
#include <cctype>

#include "program_parts.hpp"

namespace Bench {
namespace {

constexpr std::array<std::string_view, 48> nouns = {
    "Order",   "Invoice", "Sensor",  "Account", "Route",   "Ticket",  "Shipment", "Batch",
    "Parcel",  "Meter",   "Ledger",  "Cart",    "Badge",   "Tariff",  "Voucher",  "Crate",
    "Pallet",  "Rack",    "Lane",    "Fleet",   "Depot",   "Quote",   "Refund",   "Review",
    "Coupon",  "Bundle",  "Gauge",   "Valve",   "Pump",    "Relay",   "Probe",    "Signal",
    "Frame",   "Packet",  "Session", "Member",  "Plan",    "Course",  "Lesson",   "Booking",
    "Guest",   "Recipe",  "Harvest", "Tractor", "Vessel",  "Cargo",   "Tenant",   "Sample"};

constexpr std::array<std::string_view, 30> int_fields = {
    "qty",     "price",    "weight", "level",    "score",  "limit",  "rate",  "width",
    "height",  "depth",    "speed",  "age",      "rank",   "stock",  "cost",  "margin",
    "retries", "budget",   "volume", "capacity", "offset", "period", "floor", "grade",
    "minutes", "distance", "units",  "reserve",  "quota",  "load"};

constexpr std::array<std::string_view, 12> text_fields = {
    "name", "label", "code", "title", "owner", "region", "status", "city", "vendor", "tag",
    "origin", "channel"};

constexpr std::array<std::string_view, 8> bool_fields = {
    "active", "urgent", "sealed", "paid", "ready", "flagged", "insured", "fragile"};

constexpr std::array<std::string_view, 4> container_fields = {"history", "samples", "entries", "log"};

constexpr std::array<std::string_view, 12> event_names = {
    "Opened", "Closed", "Delayed", "Shipped", "Returned", "Lost",
    "Paused", "Resumed", "Failed", "Retried", "Billed", "Audited"};

constexpr std::array<std::string_view, 8> level_names = {
    "Idle", "Low", "Normal", "Busy", "High", "Critical", "Saturated", "Offline"};

constexpr std::array<std::string_view, 8> capabilities = {
    "Priced", "Labelled", "Measured", "Tracked", "Scored", "Billable", "Shippable", "Rated"};

constexpr std::array<std::string_view, 12> adjectives = {
    "north", "south", "cold", "fresh", "bulk", "late", "early", "heavy", "light", "green", "dry", "prime"};

constexpr std::array<std::string_view, 4> int_methods = {"price", "weight", "cost", "rank"};
constexpr std::array<std::string_view, 3> text_methods = {"label", "describe", "caption"};

constexpr std::array<std::string_view, 12> phrases = {
    "the quick brown fox jumps over the lazy dog",
    "north dock south dock east gate west gate",
    "late freight waits for the early train",
    "cold storage keeps the fresh stock cold",
    "every parcel has a label and every label a parcel",
    "bulk orders ship on monday and friday",
    "the meter reads high when the pump runs dry",
    "one ticket per guest and one guest per seat",
    "prime lanes close at noon on market days",
    "a green light means the valve is open",
    "spare parts wait in the blue crates",
    "the last truck leaves the depot at nine"};

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

// `count` distinct words of `pool`, in random order.
std::vector<std::string_view> distinct(Rng& rng, std::span<const std::string_view> pool, int count) {
  std::vector<std::string_view> all(pool.begin(), pool.end());
  for (std::size_t i = all.size(); i > 1; --i) {
    std::swap(all[i - 1], all[static_cast<std::size_t>(rng.below(static_cast<int>(i)))]);
  }
  all.resize(std::min(all.size(), static_cast<std::size_t>(count)));
  return all;
}

}  // namespace

void PartWriter::write_record_part(Writer& out, int id) {
  const std::string type = cat(rng_.pick(nouns), id);
  const std::string stem = lower(type);
  const bool is_typedef = rng_.chance(25);
  const std::vector<std::string_view> ints = distinct(rng_, int_fields, rng_.between(2, 4));
  const std::string_view text = rng_.pick(text_fields);
  const bool has_flag = rng_.chance(60);
  const std::string_view flag = rng_.pick(bool_fields);
  const bool has_note = rng_.chance(50);
  const bool has_default = !is_typedef && rng_.chance(40);  // the last Int field gets `= 0`

  out.line(cat("-- ", type, " records are built in batches and scored by ", ints[0], "."));
  if (is_typedef) {
    out.open(cat(rng_.chance(30) ? "pub " : "", "typedef ", type, " ="));
    out.line(cat(text, ": Text,"));
    for (auto f : ints) out.line(cat(f, ": Int,"));
    if (has_flag) out.line(cat(flag, ": Bool,"));
    if (has_note) out.line("?note: Text,");
    out.close();
  } else {
    out.open(cat(rng_.chance(30) ? "pub " : "", "type ", type));
    out.line(cat(text, ": Text"));
    for (std::size_t i = 0; i < ints.size(); ++i) {
      out.line(cat(ints[i], ": Int", has_default && i + 1 == ints.size() ? " = 0" : ""));
    }
    if (has_flag) out.line(cat(flag, ": Bool"));
    if (has_note) out.line("note: ?Text");
    out.blank();
    out.open(cat("fn ", ints[0], "_over(bound: Int) -> Bool"));
    out.line(cat("return self.", ints[0], " > bound"));
    out.close();
    out.blank();
    out.open("fn weighted() -> Int");
    out.line(cat("return self.", ints[0], " * 3 + self.", ints[1]));
    out.close();
    out.close();
  }
  out.blank();

  out.open(cat("fn make_", stem, "(take ", text, ": Text, seed: Int) -> ", type));
  out.open(cat("let made = ", type));
  out.line(cat(text, ": ", text, ","));
  for (std::size_t i = 0; i < ints.size(); ++i) {
    if (has_default && i + 1 == ints.size() && rng_.chance(50)) continue;
    out.line(cat(ints[i], ": (seed * ", i + 2, ") % ", rng_.between(7, 97), ","));
  }
  if (has_flag) out.line(cat(flag, ": seed % ", rng_.between(2, 5), " == 0,"));
  if (has_note && rng_.chance(50)) out.line("note: \"batch ${seed}\",");
  out.close();
  out.line("return made");
  out.close();
  out.blank();

  out.open(cat("fn score_", stem, "(item: ", type, ") -> Int"));
  std::string sum = cat("item.", ints[0], " * 2");
  for (std::size_t i = 1; i < ints.size(); ++i) sum += cat(" + item.", ints[i]);
  out.line(cat("let points = ", sum));
  if (has_flag) {
    out.open(cat("if item.", flag));
    out.line(cat("points += ", rng_.between(5, 50)));
    out.close();
  }
  if (!is_typedef) {
    out.open(cat("if item.", ints[0], "_over(", rng_.between(10, 60), ")"));
    out.line("points -= item.weighted() / 4");
    out.close();
  }
  if (has_note) {
    out.line("let note = item.note");
    out.open("if note != nil");
    out.line("points += len(note)");
    out.close();
  }
  out.line("return points");
  out.close();
  out.blank();

  const std::string entry = cat("run_", stem);
  begin_function();
  out.open(cat(pub(), "fn ", entry, "(n: Int) -> Int"));
  if (rng_.chance(50)) {
    out.line(cat("let batch: multi ", type, " = multi_new()"));
    out.line("let i = 0");
    out.open(cat("while i < n % ", rng_.between(3, 9), " + 3"));
    out.line(cat("push(batch, make_", stem, "(\"", text, "-${i}\", i + n))"));
    out.line("i += 1");
    out.close();
  } else {
    out.line(cat("let batch = [make_", stem, "(\"first\", n), make_", stem, "('second', n + 1), make_", stem,
                 "(\"third \" .. int_to_text(n), n * 2)]"));
  }
  out.line("let total = 0");
  out.open("for item in batch");
  out.line(cat("total += score_", stem, "(item)"));
  out.close();
  write_int_statements(out, IntLocals{{"n", "total"}, {"total"}}, rng_.between(0, 6), 1);
  out.line(cat("print(\"", stem, ": ${count(batch)} records, total ${total}\")"));
  out.line("return total");
  out.close();
  local_entries_.push_back(entry);
}

void PartWriter::write_class_part(Writer& out, int id) {
  const std::string type = cat(rng_.pick(nouns), id);
  const std::string stem = lower(type);
  const std::vector<std::string_view> ints = distinct(rng_, int_fields, rng_.between(2, 3));
  const std::string_view counter = ints[0];
  const std::string_view cap = ints[1];
  const std::string_view text = rng_.pick(text_fields);
  const std::string_view log = rng_.pick(container_fields);
  const bool has_const = rng_.chance(50);
  const int fee = rng_.between(1, 9);

  out.line(cat("-- A ", type, " keeps a running ", counter, " below the cap in ", cap, ","));
  out.line(cat("-- and the ", log, " of every change to it."));
  out.open(cat(rng_.chance(40) ? "pub " : "", "class ", type));
  out.line(cat(text, ": Text"));
  out.line(cat(counter, ": Int"));
  out.line(cat(cap, ": Int = ", rng_.between(100, 900)));
  for (std::size_t i = 2; i < ints.size(); ++i) out.line(cat(ints[i], ": Int"));
  out.line(cat(log, ": multi Int"));
  if (has_const) out.line(cat("const FEE = ", fee));
  out.blank();

  out.open(cat("static fn create(take ", text, ": Text, start: Int) -> ", type));
  std::string fields = cat(text, ": ", text, ", ", counter, ": start, ", log, ": multi_new()");
  for (std::size_t i = 2; i < ints.size(); ++i) fields += cat(", ", ints[i], ": start % ", rng_.between(3, 30));
  out.line(cat("return ", type, " { ", fields, " }"));
  out.close();
  out.blank();

  out.open(cat("fn add_", counter, "(amount: Int)"));
  out.line(cat("self.", counter, " += amount"));
  out.line(cat("push(self.", log, ", amount)"));
  out.close();
  out.blank();

  const std::string fee_text = has_const ? "FEE" : cat(fee);
  out.open(cat("fn draw_", counter, "(amount: Int) -> Bool"));
  out.open(cat("if amount + ", fee_text, " > self.", counter));
  out.line("return false");
  out.close();
  out.line(cat("self.", counter, " -= amount + ", fee_text));
  out.line(cat("push(self.", log, ", 0 - amount)"));
  out.line("return true");
  out.close();
  out.blank();

  out.open(cat("fn ", cap, "_left() -> Int"));
  out.line(cat("return self.", cap, " - self.", counter));
  out.close();
  out.blank();

  out.open(cat("fn largest_", log, "() -> Int"));
  out.line("let best = 0");
  out.open(cat("for change in self.", log));
  out.open("if change > best");
  out.line("best = change");
  out.close();
  out.close();
  out.line("return best");
  out.close();
  out.blank();

  out.open("fn summary() -> Text");
  out.line(cat("return \"${self.", text, "}: ", counter, " ${self.", counter, "} after ${count(self.", log,
               ")} changes\""));
  out.close();
  out.close();
  out.blank();

  const std::string entry = cat("run_", stem);
  begin_function();
  out.open(cat(pub(), "fn ", entry, "(n: Int) -> Int"));
  out.line(cat("let subject = ", type, ".create(\"", stem, "-${n}\", n * ", rng_.between(2, 20), ")"));
  out.line("let step = 0");
  out.open(cat("while step < ", rng_.between(4, 16)));
  out.line(cat("subject.add_", counter, "(step * ", rng_.between(2, 9), " + n)"));
  out.open(cat("if step % ", rng_.between(2, 5), " == 0"));
  out.open(cat("if not subject.draw_", counter, "(", rng_.between(5, 40), ")"));
  out.line("print(\"declined at step ${step}\")");
  out.close();
  out.close();
  out.line("step += 1");
  out.close();
  out.line(cat("let total = subject.", counter, " + subject.largest_", log, "()"));
  out.open(cat("if subject.", cap, "_left() < 0"));
  out.line(cat("total -= ", rng_.between(1, 100)));
  out.close();
  write_int_statements(out, IntLocals{{"n", "step", "total"}, {"total"}}, rng_.between(0, 6), 1);
  out.line("print(subject.summary())");
  out.line("return total");
  out.close();
  local_entries_.push_back(entry);
}

void PartWriter::write_union_part(Writer& out, int id) {
  const std::string noun(rng_.pick(nouns));
  const std::string type = cat(noun, "Event", id);
  const std::string stem = cat(lower(noun), "_event", id);
  const std::vector<std::string_view> names = distinct(rng_, event_names, rng_.between(3, 5));
  const std::string_view measure = rng_.pick(int_fields);
  const std::string_view reason = rng_.pick(text_fields);

  // Payload shapes: 0 (at), 1 (at, measure), 2 (measure, reason), 3 bare.
  struct Variant {
    std::string name;
    int shape;
  };
  std::vector<Variant> variants;
  for (std::size_t i = 0; i < names.size(); ++i) {
    variants.push_back({cat(names[i], id), i == 0 ? 2 : rng_.below(4)});
  }
  auto fields_of = [&](int shape) -> std::vector<std::string> {
    switch (shape) {
      case 0: return {"at"};
      case 1: return {"at", std::string(measure)};
      case 2: return {std::string(measure), std::string(reason)};
      default: return {};
    }
  };
  auto declaration_of = [&](const Variant& v) {
    switch (v.shape) {
      case 0: return cat(v.name, "(at: Int)");
      case 1: return cat(v.name, "(at: Int, ", measure, ": Int)");
      case 2: return cat(v.name, "(", measure, ": Int, ", reason, ": Text)");
      default: return v.name;
    }
  };
  auto build_of = [&](const Variant& v) {
    switch (v.shape) {
      case 0: return cat(v.name, "(k * ", rng_.between(2, 9), ")");
      case 1: return cat(v.name, "(k, k % ", rng_.between(3, 60), ")");
      case 2: return cat(v.name, "(k + ", rng_.between(1, 30), ", \"", rng_.pick(adjectives), " ", lower(noun), "\")");
      default: return v.name;
    }
  };

  out.line(cat("-- What can happen to a ", lower(noun), " on its way."));
  out.line(cat(rng_.chance(30) ? "pub " : "", "type ", type, " = ", declaration_of(variants[0]), " |"));
  out.indent();
  for (std::size_t i = 1; i < variants.size(); ++i) {
    out.line(cat(declaration_of(variants[i]), i + 1 < variants.size() ? " |" : ""));
  }
  out.dedent();
  out.blank();

  const int count = static_cast<int>(variants.size());
  out.open(cat("fn ", stem, "_of(k: Int) -> ", type));
  for (int i = 0; i + 1 < count; ++i) {
    out.open(cat("if k % ", count, " == ", i));
    out.line(cat("return ", build_of(variants[static_cast<std::size_t>(i)])));
    out.close();
  }
  out.line(cat("return ", build_of(variants.back())));
  out.close();
  out.blank();

  out.open(cat("fn weigh_", stem, "(e: ", type, ") -> Int"));
  out.line("let result = 0");
  out.open("switch e");
  for (const Variant& v : variants) {
    const std::vector<std::string> fields = fields_of(v.shape);
    std::string pattern = v.name;
    if (!fields.empty()) {
      pattern += "(";
      for (std::size_t i = 0; i < fields.size(); ++i) pattern += cat(i ? ", " : "", fields[i]);
      pattern += ")";
    }
    out.line(cat("case ", pattern, ":"));
    out.indent();
    switch (v.shape) {
      case 0: out.line(cat("result = at % ", rng_.between(5, 20))); break;
      case 1: out.line(cat("result = at + ", measure, " * 2")); break;
      case 2: out.line(cat("result = ", measure, " + len(", reason, ")")); break;
      default: out.line(cat("result = ", rng_.between(10, 90))); break;
    }
    out.dedent();
  }
  out.close();
  out.line("return result");
  out.close();
  out.blank();

  out.open(cat("fn describe_", stem, "(e: ", type, ") -> Text"));
  out.line(cat("let text = \"", lower(names[0]), "\""));
  out.open("switch e");
  const Variant& shown = variants[0];
  out.line(cat("case ", shown.name, "(", measure, ", ", reason, "):"));
  out.indent();
  out.line(cat("text = \"", lower(names[0]), " (${", measure, "}): \" .. ", reason));
  out.dedent();
  out.line("default:");
  out.indent();
  out.line(cat("text = \"", lower(noun), " event\""));
  out.dedent();
  out.close();
  out.line("return text");
  out.close();
  out.blank();

  const std::string entry = cat("run_", stem);
  begin_function();
  out.open(cat(pub(), "fn ", entry, "(n: Int) -> Int"));
  out.line(cat("let events: multi ", type, " = multi_new()"));
  out.open(cat("for k in [n, n + 1, n + ", rng_.between(2, 9), ", n * 3]"));
  out.line(cat("push(events, ", stem, "_of(k))"));
  out.close();
  out.line("let total = 0");
  out.open("for e in events");
  out.line(cat("total += weigh_", stem, "(e)"));
  out.close();
  out.line(cat("let last = ", stem, "_of(n + ", rng_.between(1, 5), ")"));
  out.line(cat("print(describe_", stem, "(last))"));
  write_int_statements(out, IntLocals{{"n", "total"}, {"total"}}, rng_.between(0, 6), 1);
  out.line("return total");
  out.close();
  local_entries_.push_back(entry);
}

void PartWriter::write_enum_part(Writer& out, int id) {
  const std::string noun(rng_.pick(nouns));
  const std::string type = cat(noun, "Level", id);
  const std::string stem = cat(lower(noun), "_level", id);
  std::vector<std::string_view> picked = distinct(rng_, level_names, rng_.between(3, 5));
  // Keep the levels in their natural order.
  std::sort(picked.begin(), picked.end(), [](std::string_view a, std::string_view b) {
    return std::find(level_names.begin(), level_names.end(), a) < std::find(level_names.begin(), level_names.end(), b);
  });
  std::vector<std::string> levels;
  for (auto name : picked) levels.push_back(cat(name, id));
  const std::string limit = cat(upper(noun), "_LIMIT_", id);

  out.line(cat("const ", limit, " = ", rng_.between(50, 95)));
  std::string decl = cat(rng_.chance(30) ? "pub " : "", "type ", type, " = ");
  for (std::size_t i = 0; i < levels.size(); ++i) decl += cat(i ? " | " : "", levels[i]);
  out.line(decl);
  out.blank();

  out.open(cat("fn ", stem, "_of(reading: Int) -> ", type));
  const int step = 100 / static_cast<int>(levels.size());
  for (std::size_t i = 0; i + 1 < levels.size(); ++i) {
    out.open(cat("if reading < ", step * static_cast<int>(i + 1)));
    out.line(cat("return ", levels[i]));
    out.close();
  }
  out.line(cat("return ", levels.back()));
  out.close();
  out.blank();

  out.open(cat("fn ", stem, "_cost(level: ", type, ") -> Int"));
  out.line("let cost = 0");
  out.open("switch level");
  out.line(cat("case ", levels[0], ", ", levels[1], ":"));
  out.indent();
  out.line(cat("cost = ", rng_.between(1, 5)));
  out.dedent();
  for (std::size_t i = 2; i < levels.size(); ++i) {
    out.line(cat("case ", levels[i], ":"));
    out.indent();
    out.line(cat("cost = ", static_cast<int>(i) * 10, " + ", rng_.between(0, 9)));
    out.dedent();
  }
  out.close();
  out.line("return cost");
  out.close();
  out.blank();

  const std::string entry = cat("run_", stem);
  begin_function();
  out.open(cat(pub(), "fn ", entry, "(n: Int) -> Int"));
  out.line("let total = 0");
  out.open(cat("for reading in [n % 100, (n * ", rng_.between(3, 17), ") % 100, ", limit, "]"));
  out.line(cat("let level = ", stem, "_of(reading)"));
  out.line(cat("total += ", stem, "_cost(level)"));
  out.open(cat("if level == ", levels.back(), " or level == ", levels[levels.size() - 2]));
  out.line(cat("print(\"", lower(noun), " reading ${reading} is over the limit\")"));
  out.close();
  out.close();
  out.open(cat("switch total % ", rng_.between(3, 6)));
  out.line("case 0:");
  out.indent();
  out.line("total += 1");
  out.dedent();
  out.line("case 1, 2:");
  out.indent();
  out.line(cat("total *= ", rng_.between(2, 4)));
  out.dedent();
  out.line("default:");
  out.indent();
  out.line("total -= 1");
  out.dedent();
  out.close();
  write_int_statements(out, IntLocals{{"n", "total"}, {"total"}}, rng_.between(0, 6), 1);
  out.line("return total");
  out.close();
  local_entries_.push_back(entry);
}

void PartWriter::write_interface_part(Writer& out, int id) {
  const std::string iface = cat(rng_.pick(capabilities), id);
  const std::string stem = lower(iface);
  const std::string_view int_method = rng_.pick(int_methods);
  const std::string_view text_method = rng_.pick(text_methods);
  const bool has_scaled = rng_.chance(50);
  const std::vector<std::string_view> kinds = distinct(rng_, nouns, rng_.between(2, 3));

  out.line(cat("-- Anything with `", int_method, "()` and `", text_method, "()` is ", lower(iface), "."));
  out.open(cat(rng_.chance(40) ? "pub " : "", "interface ", iface));
  out.line(cat("fn ", int_method, "() -> Int"));
  out.line(cat("fn ", text_method, "() -> Text"));
  if (has_scaled) out.line("fn scaled(factor: Int) -> Int");
  out.close();
  out.blank();

  struct Impl {
    std::string type;
    std::string_view amount;
    std::string_view text;
  };
  std::vector<Impl> impls;
  for (auto noun : kinds) {
    Impl impl{cat(noun, id), rng_.pick(int_fields), rng_.pick(text_fields)};
    while (impl.amount == int_method) impl.amount = rng_.pick(int_fields);  // a field never shares a method's name
    const int factor = rng_.between(2, 12);
    out.open(cat("class ", impl.type));
    out.line(cat(impl.text, ": Text"));
    out.line(cat(impl.amount, ": Int"));
    out.blank();
    if (rng_.chance(50)) {
      out.line(cat("fn ", int_method, "() -> Int { return self.", impl.amount, " * ", factor, " }"));
    } else {
      out.open(cat("fn ", int_method, "() -> Int"));
      out.line(cat("let base = self.", impl.amount, " * ", factor));
      out.open(cat("if base > ", rng_.between(100, 1000)));
      out.line(cat("base -= ", rng_.between(1, 50)));
      out.close();
      out.line("return base");
      out.close();
    }
    out.blank();
    out.open(cat("fn ", text_method, "() -> Text"));
    out.line(cat("return \"", lower(noun), " ${self.", impl.text, "} (${self.", impl.amount, "})\""));
    out.close();
    if (has_scaled) {
      out.blank();
      out.open("fn scaled(factor: Int) -> Int");
      out.line(cat("return self.", int_method, "() * factor"));
      out.close();
    }
    out.close();
    out.blank();
    impls.push_back(impl);
  }

  out.line(cat("-- The larger ", int_method, " of two ", lower(iface), " things, announced."));
  out.open(cat("fn larger_", stem, "(a: ", iface, ", b: ", iface, ") -> Int"));
  out.open(cat("if a.", int_method, "() >= b.", int_method, "()"));
  out.line(cat("print(a.", text_method, "())"));
  out.line(cat("return a.", int_method, "()"));
  out.close();
  out.line(cat("return b.", int_method, "()", has_scaled ? " + a.scaled(2)" : ""));
  out.close();
  out.blank();

  const std::string entry = cat("run_", stem);
  begin_function();
  out.open(cat(pub(), "fn ", entry, "(n: Int) -> Int"));
  std::vector<std::string> locals;
  for (std::size_t i = 0; i < impls.size(); ++i) {
    const std::string local = cat(lower(kinds[i]), "_", i + 1);
    out.line(cat("let ", local, " = ", impls[i].type, " { ", impls[i].text, ": \"", rng_.pick(adjectives), "\", ",
                 impls[i].amount, ": n + ", rng_.between(1, 99), " }"));
    locals.push_back(local);
  }
  out.line(cat("let total = larger_", stem, "(", locals[0], ", ", locals[1], ")"));
  out.line(cat("total += larger_", stem, "(", locals.back(), ", ", locals[0], ")"));
  write_int_statements(out, IntLocals{{"n", "total"}, {"total"}}, rng_.between(0, 6), 1);
  out.line("return total");
  out.close();
  local_entries_.push_back(entry);
}

void PartWriter::write_text_part(Writer& out, int id) {
  const std::string stem = cat("words", id);
  const std::string_view phrase = rng_.pick(phrases);
  const std::string_view word = rng_.pick(adjectives);

  out.line("-- How often each word occurs, case and padding ignored.");
  out.open(cat("fn word_counts_", id, "(text: Text) -> map<Text, Int>"));
  out.line("let counts: map<Text, Int> = map_new()");
  out.open("for word in split(text, \" \")");
  out.line("let key = to_lower(trim(word))");
  out.open("if len(key) == 0");
  out.line("continue");
  out.close();
  out.line("let seen = 0");
  out.open("if has(counts, key)");
  out.line("seen = get(counts, key)");
  out.close();
  out.line("set(counts, key, seen + 1)");
  out.close();
  out.line("return counts");
  out.close();
  out.blank();

  out.open(cat("fn headline_", id, "(title: Text, n: Int) -> Text"));
  out.line(cat("let head = substr(title, 0, ", rng_.between(3, 9), ")"));
  out.open(cat("if starts_with(title, \"", word, "\")"));
  out.line("head = \"!\" .. head");
  out.close();
  out.line("let tail = \"#\" .. int_to_text(n)");
  out.line("return head .. \" \" .. tail");
  out.close();
  out.blank();

  const std::string entry = cat("run_", stem);
  begin_function();
  out.open(cat(pub(), "fn ", entry, "(n: Int) -> Int"));
  out.line(cat("let text = \"", phrase, " ${n}\""));
  out.line(cat("let counts = word_counts_", id, "(text)"));
  out.line("let total = 0");
  out.open("for word, hits in counts");
  out.line("total += hits * len(word)");
  out.close();
  out.line(cat("let title = headline_", id, "(\"", word, " report\", total)"));
  out.line("let grade = \"low\"");
  out.open(cat("if total > ", rng_.between(20, 200)));
  out.line("grade = \"high\"");
  out.close();
  out.open("switch grade");
  out.line("case \"high\":");
  out.indent();
  out.line("total += 1");
  out.dedent();
  out.line("case \"low\":");
  out.indent();
  out.line("total -= 1");
  out.dedent();
  out.line("default:");
  out.indent();
  out.line("print(\"unexpected grade \" .. grade)");
  out.dedent();
  out.close();
  out.line(cat("let fields = split('", word, ",", rng_.pick(adjectives), ",\"quoted\",${n}', \",\")"));
  out.line("total += count(fields) + index_of(title, \"#\")");
  out.open("if ends_with(title, \"7\") or starts_with(title, \"!\")");
  out.line("total += 2");
  out.close();
  write_int_statements(out, IntLocals{{"n", "total"}, {"total"}}, rng_.between(0, 6), 1);
  out.line("print(title .. \"\\t-> \" .. grade)");
  out.line("return total + count(counts)");
  out.close();
  local_entries_.push_back(entry);
}

void PartWriter::write_numeric_part(Writer& out, int id) {
  const std::string noun(rng_.pick(nouns));
  const std::string stem = cat(lower(noun), "_slots", id);
  const std::string rate = cat(upper(noun), "_RATE_", id);
  const std::string tag = cat(upper(noun), "_TAG_", id);

  out.line(cat("const ", rate, " = 0.", rng_.between(10, 99)));
  out.line(cat("const ", tag, " = \"", lower(noun), "\""));
  out.blank();
  out.line("-- The index of the first slot holding `want`, or nil.");
  out.open(cat("fn find_slot_", id, "(slots: multi Int, want: Int) -> ?Int"));
  out.line("let i = 0");
  out.open("while i < count(slots)");
  out.open("if get(slots, i) == want");
  out.line("return i");
  out.close();
  out.line("i += 1");
  out.close();
  out.line("return nil");
  out.close();
  out.blank();

  out.open(cat("fn parse_or_", id, "(text: Text, fallback: Int) -> Int"));
  out.line("let parsed = parse_int(text)");
  out.open("if parsed == nil");
  out.line("return fallback");
  out.close();
  out.line(cat("return parsed * ", rng_.between(2, 9)));
  out.close();
  out.blank();

  out.open(cat("fn ratio_", id, "(part: Int, whole: Int) -> Float"));
  out.open("if whole == 0");
  out.line("return 0.0");
  out.close();
  out.line(cat("return float(part) / float(whole) * ", rate));
  out.close();
  out.blank();

  const std::string entry = cat("run_", stem);
  begin_function();
  out.open(cat(pub(), "fn ", entry, "(n: Int) -> Int"));
  out.line(cat("let slots = [", rng_.between(1, 9), ", ", rng_.between(10, 19), ", 15, ", rng_.between(20, 99), ", n]"));
  out.line(cat("let found = find_slot_", id, "(slots, 15 + n % 2)"));
  out.line("let total = 0");
  out.open("if found != nil");
  out.line("total += found");
  out.close("} else {");
  out.indent();
  out.line(cat("total += parse_or_", id, "(\"${n}7\", ", rng_.between(1, 9), ")"));
  out.close();
  out.line("let mask = 0");
  out.open("do");
  out.line("mask = (mask << 1) | 1");
  out.open("if mask > 0x3FF");
  out.line("break");
  out.close();
  out.close(cat("} while mask < n * ", rng_.between(4, 32)));
  out.line("total += mask & 0xFF ^ 0b1010");
  out.line(cat("let ratio = ratio_", id, "(total, n + 1)"));
  out.line(cat("let pct = trunc(ratio * ", rng_.between(1, 9), ".5e", rng_.between(1, 2), ")"));
  if (rng_.chance(50)) {
    out.line("let report = `");
    out.indent();
    out.line(cat(lower(noun), " report"));
    out.line("  total: ${total}");
    out.line("  ratio: ${float_to_text(ratio)}");
    out.line("`");
    out.dedent();
    out.line("print(report)");
  }
  out.line(cat("print(", tag, " .. \": ${pct}% of ${1_000}\")"));
  write_int_statements(out, IntLocals{{"n", "total", "pct"}, {"total"}}, rng_.between(0, 6), 1);
  out.line("return total + pct");
  out.close();
  local_entries_.push_back(entry);
}

}  // namespace Bench
