// Parts over objects: owned classes with Text, multi and map fields and the
// moves between them, nullable values, unions with payloads, gc cycles.
#include <algorithm>
#include <map>
#include <optional>

#include "gen.hpp"

namespace hunt {

namespace {

struct Item {
  std::string tag;
  int64_t n;
};

}  // namespace

// An owned class holding owned values in a field, a multi and a map; values
// move in through fields, containers, `take` parameters and return values.
void part_owned(Program& p, int id) {
  Rng& r = p.rng;
  std::string s = std::to_string(id);
  std::string In = "In" + s, Box = "Box" + s, mk = "mk" + s, eat = "eat" + s, sum = "sum" + s, bump = "bump" + s,
              show = "show" + s;
  p.decls += "class " + In + " {\n  tag: Text\n  n: Int\n\n  fn grow(k: Int) {\n    self.n += k\n    self.tag = self.tag .. \"+\"\n  }\n}\n\n";
  p.decls += "class " + Box + " {\n  label: Text\n  main: ?" + In + "\n  items: multi " + In +
             "\n  nums: multi Int\n  index: map<Text, " + In + ">\n\n  fn add(take x: " + In +
             ") {\n    push(self.items, x)\n  }\n}\n\n";
  p.decls += "fn " + mk + "(tag: Text, n: Int) -> " + In + " {\n  return " + In + " { tag: tag .. \"\", n: n }\n}\n\n";
  p.decls += "fn " + eat + "(take x: " + In + ") -> Int {\n  return x.n + len(x.tag)\n}\n\n";
  p.decls += "fn " + sum + "(b: " + Box + ") -> Int {\n  let t = 0\n  for it in b.items {\n    t += it.n\n  }\n  for v in b.nums {\n    t += v\n  }\n  return t\n}\n\n";
  p.decls += "fn " + bump + "(mut b: " + Box + ", k: Int) {\n  for it in b.items {\n    it.grow(k)\n  }\n}\n\n";
  p.decls += "fn " + show + "(b: " + Box + ") -> Text {\n  let out = b.label\n  let m = b.main\n  if m != nil {\n    out = out .. \" main=\" .. m.tag .. int_to_text(m.n)\n  }\n  for it in b.items {\n    out = out .. \" \" .. it.tag .. \"/\" .. int_to_text(it.n)\n  }\n  for k, v in b.index {\n    out = out .. \" \" .. k .. \"=\" .. v.tag\n  }\n  return out\n}\n\n";

  std::string label = word(r, 1, 5);
  std::optional<Item> main_item;
  std::vector<Item> items;
  std::vector<int64_t> nums;
  std::vector<std::pair<std::string, Item>> index;
  Body b;
  b.line("let box = " + Box + " { label: " + quote(label) + ", main: nil, items: multi_new(), nums: [], index: map_new() }");
  auto show_expect = [&]() {
    std::string out = label;
    if (main_item) out += " main=" + main_item->tag + int_text(main_item->n);
    for (const Item& it : items) out += " " + it.tag + "/" + int_text(it.n);
    for (const auto& [k, v] : index) out += " " + k + "=" + v.tag;
    return out;
  };
  auto new_item = [&]() { return Item{word(r, 0, 4), r.range(-20, 99)}; };
  auto make_call = [&](const Item& it) { return mk + "(" + quote(it.tag) + ", " + num(it.n) + ")"; };
  int steps = static_cast<int>(r.range(5, 14));
  for (int i = 0; i < steps; ++i) {
    switch (r.range(0, 12)) {
      case 0: {
        Item it = new_item();
        b.line("box.add(" + make_call(it) + ")");
        items.push_back(it);
        break;
      }
      case 1: {
        Item it = new_item();
        std::string x = p.name("x");
        b.line("let " + x + " = " + make_call(it));
        b.line("push(box.items, " + x + ")");
        items.push_back(it);
        break;
      }
      case 2: {
        Item it = new_item();
        b.line("box.main = " + make_call(it));
        main_item = it;
        break;
      }
      case 3: {
        Item it = new_item();
        std::string y = p.name("y");
        b.line("let " + y + " = " + make_call(it));
        b.line("print_int(" + eat + "(" + y + "))");
        p.print(int_text(it.n + static_cast<int64_t>(it.tag.size())));
        break;
      }
      case 4: {
        Item it = new_item();
        std::string k = word(r, 1, 1);
        if (r.chance(50)) {
          b.line("set(box.index, " + quote(k) + ", " + make_call(it) + ")");
        } else {
          std::string x = p.name("x");
          b.line("let " + x + " = " + make_call(it));
          b.line("set(box.index, " + quote(k) + ", " + x + ")");
        }
        auto at = std::find_if(index.begin(), index.end(), [&](auto& e) { return e.first == k; });
        if (at != index.end()) at->second = it;
        else index.push_back({k, it});
        break;
      }
      case 5: {
        std::string k = word(r, 1, 1);
        b.line("remove(box.index, " + quote(k) + ")");
        auto at = std::find_if(index.begin(), index.end(), [&](auto& e) { return e.first == k; });
        if (at != index.end()) {
          *at = index.back();
          index.pop_back();
        }
        break;
      }
      case 6: {
        int64_t k = r.range(-5, 5);
        b.line(bump + "(box, " + num(k) + ")");
        for (Item& it : items) {
          it.n += k;
          it.tag += "+";
        }
        break;
      }
      case 7:
        if (!items.empty()) {
          std::string z = p.name("z");
          b.line("let " + z + " = pop(box.items)");
          b.line("print(" + z + ".tag .. int_to_text(" + z + ".n))");
          p.print(items.back().tag + int_text(items.back().n));
          items.pop_back();
        }
        break;
      case 8:
        if (!items.empty()) {
          int64_t at = r.range(0, static_cast<int64_t>(items.size()) - 1);
          int64_t v = r.range(-9, 9);
          b.line("box.items[" + int_text(at) + "].n = " + num(v));
          items[static_cast<size_t>(at)].n = v;
        }
        break;
      case 9: {
        int64_t v = r.range(-100, 100);
        b.line("push(box.nums, " + num(v) + ")");
        nums.push_back(v);
        break;
      }
      case 10: {
        int64_t t = 0;
        for (const Item& it : items) t += it.n;
        for (int64_t v : nums) t += v;
        b.line("print_int(" + sum + "(box))");
        p.print(int_text(t));
        break;
      }
      case 11:
        if (!items.empty() && r.chance(50)) {
          // A fresh box replaces the old one, which is dropped whole.
          label = word(r, 1, 5);
          b.line("box = " + Box + " { label: " + quote(label) + ", main: nil, items: [" + make_call(items[0]) +
                 "], nums: [], index: map_new() }");
          items = {items[0]};
          main_item.reset();
          nums.clear();
          index.clear();
        }
        break;
      default:
        b.line("print(" + show + "(box))");
        p.print(show_expect());
        break;
    }
  }
  b.line("print(" + show + "(box))");
  p.print(show_expect());
  if (r.chance(40)) {
    // The whole box moves into a function that takes it.
    std::string fin = "fin" + s;
    p.decls += "fn " + fin + "(take b: " + Box + ") -> Int {\n  return count(b.items) + count(b.index)\n}\n\n";
    b.line("print_int(" + fin + "(box))");
    p.print(int_text(static_cast<int64_t>(items.size() + index.size())));
  }
  finish(p, id, b);
}

// ?Int, ?Text and ?class locals and fields, narrowed by `if`, by early
// return and by `and`.
void part_nullable(Program& p, int id) {
  Rng& r = p.rng;
  std::string s = std::to_string(id);
  std::string Cell = "Cell" + s, desc = "desc" + s, val = "val" + s;
  p.decls += "class " + Cell + " {\n  name: ?Text\n  num: ?Int\n  next: ?" + Cell + "\n}\n\n";
  p.decls += "fn " + desc + "(c: " + Cell + ") -> Text {\n  let n = c.name\n  if n == nil {\n    return \"anon\"\n  }\n  let out = n\n  let k = c.num\n  if k != nil and k > 0 {\n    out = out .. \"#\" .. int_to_text(k)\n  }\n  let nx = c.next\n  if nx != nil {\n    out = out .. \">\" .. " + desc + "(nx)\n  }\n  return out\n}\n\n";
  p.decls += "fn " + val + "(t: Text) -> Int {\n  let v = parse_int(t)\n  if v == nil {\n    return -1\n  }\n  return v * 2\n}\n\n";
  struct Cellv {
    std::optional<std::string> name;
    std::optional<int64_t> num;
  };
  auto desc_of = [](const std::vector<Cellv>& chain) {
    std::string out;
    for (size_t i = 0; i < chain.size(); ++i) {
      const Cellv& c = chain[i];
      if (!c.name) return out + "anon";
      out += *c.name;
      if (c.num && *c.num > 0) out += "#" + int_text(*c.num);
      if (i + 1 < chain.size()) out += ">";
    }
    return out;
  };
  Body b;
  std::vector<Cellv> chain;
  int cells = static_cast<int>(r.range(1, 4));
  // Built innermost first: each cell takes the previous one as `next`.
  std::string prev = "nil";
  for (int i = 0; i < cells; ++i) {
    Cellv c;
    if (r.chance(80)) c.name = word(r, 1, 4);
    if (r.chance(70)) c.num = r.range(-3, 30);
    std::string v = p.name("c");
    b.line("let " + v + " = " + Cell + " { name: " + (c.name ? quote(*c.name) : "nil") + ", num: " +
           (c.num ? num(*c.num) : "nil") + ", next: " + prev + " }");
    prev = v;
    chain.insert(chain.begin(), c);
  }
  b.line("print(" + desc + "(" + prev + "))");
  p.print(desc_of(chain));
  if (r.chance(60)) {
    std::optional<std::string> nm;
    if (r.chance(60)) nm = word(r, 1, 3);
    b.line(prev + ".name = " + (nm ? quote(*nm) : "nil"));
    chain[0].name = nm;
    b.line("print(" + desc + "(" + prev + "))");
    p.print(desc_of(chain));
  }
  for (int i = 0, n = static_cast<int>(r.range(1, 4)); i < n; ++i) {
    std::string t;
    switch (r.range(0, 3)) {
      case 0: t = int_text(r.range(-500, 500)); break;
      case 1: t = word(r, 0, 3); break;
      case 2: t = "99999999999999999999"; break;
      default: t = int_text(r.range(0, 9)) + "x"; break;
    }
    b.line("print_int(" + val + "(" + quote(t) + "))");
    int64_t v = -1;
    bool digits = !t.empty() && t.find_first_not_of("-0123456789") == std::string::npos && t != "-" &&
                  t.find('-', 1) == std::string::npos && t.size() < 19;
    if (digits) v = std::stoll(t) * 2;
    p.print(int_text(v));
  }
  // A ?Int local that is nil on some paths.
  std::string o = p.name("o");
  int64_t limit = r.range(0, 6);
  b.line("let " + o + ": ?Int = nil");
  b.line("let i = 0");
  b.open("while i < " + int_text(limit));
  b.open("if i % 3 == 2");
  b.line(o + " = i * 10");
  b.close();
  b.line("i += 1");
  b.close();
  b.open("if " + o + " != nil");
  b.line("print_int(" + o + ")");
  b.close();
  b.open("else");
  b.line("print(\"none\")");
  b.close();
  std::optional<int64_t> ov;
  for (int64_t i = 0; i < limit; ++i) {
    if (i % 3 == 2) ov = i * 10;
  }
  p.print(ov ? int_text(*ov) : "none");
  finish(p, id, b);
}

// A union with scalar, Text and owned payloads, matched by `switch`, built
// into a multi and passed along.
void part_union(Program& p, int id) {
  Rng& r = p.rng;
  std::string s = std::to_string(id);
  std::string U = "Shape" + s, P = "Pin" + s, score = "score" + s, name = "name" + s;
  std::string A = "Dot" + s, B = "Bar" + s, C = "Tag" + s, D = "Held" + s, E = "None" + s;
  p.decls += "class " + P + " {\n  label: Text\n  w: Int\n}\n\n";
  p.decls += "type " + U + " = " + A + "(x: Int) | " + B + "(a: Int, b: Int) | " + C + "(t: Text) | " + D + "(p: " + P +
             ") | " + E + "\n\n";
  if (p.on("return-in-arm-leaks-payload-text")) {
    p.decls += "fn " + score + "(v: " + U + ") -> Int {\n  switch v {\n  case " + A + "(x):\n    return x\n  case " + B +
               "(a, b):\n    return a * b\n  case " + C + "(t):\n    return len(t)\n  case " + D +
               "(p):\n    return p.w + len(p.label)\n  case " + E + ":\n    return -1\n  }\n  return 0\n}\n\n";
    p.decls += "fn " + name + "(v: " + U + ") -> Text {\n  switch v {\n  case " + C + "(t):\n    return \"tag \" .. t\n  case " +
               D + "(p):\n    return \"held \" .. p.label\n  default:\n    return \"other\"\n  }\n  return \"\"\n}\n\n";
  } else {
    // The arms set a result that one `return` after the switch gives back.
    p.decls += "fn " + score + "(v: " + U + ") -> Int {\n  let out = -1\n  switch v {\n  case " + A + "(x):\n    out = x\n  case " +
               B + "(a, b):\n    out = a * b\n  case " + C + "(t):\n    out = len(t)\n  case " + D +
               "(p):\n    out = p.w + len(p.label)\n  case " + E + ":\n    out = -1\n  }\n  return out\n}\n\n";
    p.decls += "fn " + name + "(v: " + U + ") -> Text {\n  let out = \"other\"\n  switch v {\n  case " + C +
               "(t):\n    out = \"tag \" .. t\n  case " + D + "(p):\n    out = \"held \" .. p.label\n  default:\n    out = \"other\"\n  }\n  return out\n}\n\n";
  }
  struct V {
    int kind;
    int64_t a = 0, b = 0;
    std::string t;
  };
  auto score_of = [](const V& v) -> int64_t {
    switch (v.kind) {
      case 0: return v.a;
      case 1: return wrap_mul(v.a, v.b);
      case 2: return static_cast<int64_t>(v.t.size());
      case 3: return v.a + static_cast<int64_t>(v.t.size());
      default: return -1;
    }
  };
  auto name_of = [](const V& v) -> std::string {
    if (v.kind == 2) return "tag " + v.t;
    if (v.kind == 3) return "held " + v.t;
    return "other";
  };
  auto make = [&](V& v) -> std::string {
    v.kind = static_cast<int>(r.range(0, 4));
    switch (v.kind) {
      case 0: v.a = r.range(-50, 50); return A + "(" + num(v.a) + ")";
      case 1:
        v.a = r.range(-9, 9);
        v.b = r.range(-9, 9);
        return B + "(" + num(v.a) + ", " + num(v.b) + ")";
      case 2: v.t = word(r, 0, 5); return C + "(" + quote(v.t) + " .. \"\")";
      case 3:
        v.t = word(r, 1, 4);
        v.a = r.range(0, 20);
        return D + "(" + P + " { label: " + quote(v.t) + ", w: " + num(v.a) + " })";
      default: return E;
    }
  };
  Body b;
  std::vector<V> vs;
  std::string xs = p.name("us");
  b.line("let " + xs + ": multi " + U + " = multi_new()");
  for (int i = 0, n = static_cast<int>(r.range(1, 7)); i < n; ++i) {
    V v;
    std::string code = make(v);
    if (r.chance(50)) {
      b.line("push(" + xs + ", " + code + ")");
    } else {
      std::string one = p.name("u");
      b.line("let " + one + " = " + code);
      b.line("print_int(" + score + "(" + one + "))");
      p.print(int_text(score_of(v)));
      b.line("push(" + xs + ", " + one + ")");
    }
    vs.push_back(v);
  }
  b.line("let total = 0");
  b.open("for v in " + xs);
  b.line("total += " + score + "(v)");
  b.line("print(" + name + "(v))");
  b.close();
  b.line("print_int(total)");
  int64_t total = 0;
  for (const V& v : vs) {
    total = wrap_add(total, score_of(v));
    p.print(name_of(v));
  }
  p.print(int_text(total));
  if (!vs.empty() && r.chance(50)) {
    b.line("let last = pop(" + xs + ")");
    b.line("print(\"last ${" + score + "(last)}\")");
    p.print("last " + int_text(score_of(vs.back())));
  }
  finish(p, id, b);
}

// Rings and graphs of gc instances with back edges, built and dropped, so
// only the collector can reclaim them.
void part_cycles(Program& p, int id) {
  Rng& r = p.rng;
  std::string s = std::to_string(id);
  std::string N = "Node" + s, G = "Graph" + s, ring = "ring" + s, walk = "walk" + s;
  p.decls += "class " + N + " {\n  id: Int\n  label: Text\n  next: ?" + N + "\n  prev: ?" + N + "\n  data: multi Int\n}\n\n";
  p.decls += "class " + G + " {\n  nodes: multi " + N + "\n  names: map<Text, " + N + ">\n}\n\n";
  p.decls += "fn " + ring + "(n: Int, base: Int) -> " + N + " {\n  let first = " + N +
             " { id: base, label: \"n\" .. int_to_text(base), next: nil, prev: nil, data: [base] }\n  let last = first\n  let i = 1\n  while i < n {\n    let node = " +
             N + " { id: base + i, label: \"n\" .. int_to_text(base + i), next: nil, prev: last, data: [i, i * 2] }\n    last.next = node\n    last = node\n    i += 1\n  }\n  last.next = first\n  first.prev = last\n  return first\n}\n\n";
  p.decls += "fn " + walk + "(start: " + N + ", steps: Int, back: Bool) -> Int {\n  let cur = start\n  let i = 0\n  while i < steps {\n    let nx = cur.next\n    if back {\n      nx = cur.prev\n    }\n    if nx != nil {\n      cur = nx\n    }\n    i += 1\n  }\n  return cur.id\n}\n\n";
  Body b;
  int rounds = static_cast<int>(r.range(1, 30));
  int64_t n = r.range(1, 12);
  int64_t steps = r.range(0, 40);
  bool back = r.chance(50);
  // Walking forward from base lands on base + steps % n; backward on base - steps % n (mod n).
  auto land = [&](int64_t base, int64_t len, int64_t st, bool bk) {
    int64_t k = st % len;
    return base + (bk ? (len - k) % len : k);
  };
  b.line("let seen = 0");
  b.line("let round = 0");
  b.open("while round < " + int_text(rounds));
  b.line("let r = " + ring + "(" + int_text(n) + ", round * 100)");
  b.line("seen += " + walk + "(r, " + int_text(steps) + ", " + (back ? "true" : "false") + ")");
  b.line("round += 1");
  b.close();
  int64_t seen = 0;
  for (int64_t i = 0; i < rounds; ++i) seen += land(i * 100, n, steps, back);
  b.line("print_int(seen)");
  p.print(int_text(seen));
  // A graph owning rings, with a map of named entry points.
  int64_t k = r.range(0, 8);
  int64_t len2 = r.range(1, 5);
  b.line("let g = " + G + " { nodes: multi_new(), names: map_new() }");
  b.line("let j = 0");
  b.open("while j < " + int_text(k));
  b.line("push(g.nodes, " + ring + "(" + int_text(len2) + ", j * 10))");
  if (r.chance(50)) b.line("set(g.names, \"r\" .. int_to_text(j % 3), " + ring + "(2, j))");
  b.line("j += 1");
  b.close();
  b.line("print_int(count(g.nodes))");
  p.print(int_text(k));
  if (k > 0) {
    int64_t pick = r.range(0, k - 1);
    int64_t st = r.range(0, 9);
    b.line("print_int(" + walk + "(get(g.nodes, " + int_text(pick) + "), " + int_text(st) + ", false))");
    p.print(int_text(land(pick * 10, len2, st, false)));
    if (r.chance(50)) {
      b.line("g.nodes = multi_new()");
      b.line("print_int(count(g.nodes))");
      p.print("0");
    }
  }
  finish(p, id, b);
}

}  // namespace hunt
