// Parts over control: run-time errors caught by `try` while frames own
// values, loops with `break` and `continue`, tables with inserts, deletes
// and queries.
#include <algorithm>

#include "gen.hpp"

namespace hunt {

namespace {

}  // namespace

// Errors raised a few frames down, where every frame owns a class instance,
// a multi and a text; caught by `try` in expressions, loops and nested.
void part_errors(Program& p, int id) {
  Rng& r = p.rng;
  std::string s = std::to_string(id);
  std::string Bag = "Bag" + s, pick = "pick" + s, deep = "deep" + s;
  p.decls += "class " + Bag + " {\n  name: Text\n  xs: multi Int\n  m: map<Text, Int>\n\n  fn at(i: Int) -> Int {\n    return self.xs[i]\n  }\n}\n\n";
  p.decls += "fn " + pick + "(n: Int, d: Int) -> Int {\n  let bag = " + Bag +
             " { name: \"b\" .. int_to_text(n), xs: [1, 2, 3], m: map_new() }\n  let t = \"t\" .. int_to_text(n)\n"
             "  if n % 5 == 0 {\n    return bag.at(n)\n  }\n  if n % 5 == 1 {\n    return 100 / d\n  }\n"
             "  if n % 5 == 2 {\n    return get(bag.m, t)\n  }\n  if n % 5 == 3 {\n    let empty: multi Int = multi_new()\n"
             "    return pop(empty) + len(t)\n  }\n  return len(t) + n\n}\n\n";
  p.decls += "fn " + deep + "(n: Int, d: Int, depth: Int) -> Int {\n  let keep: multi Text = [\"k\" .. int_to_text(depth), \"x\"]\n"
             "  if depth > 0 {\n    return " + deep + "(n, d, depth - 1) + 1\n  }\n  return " + pick + "(n, d) + count(keep)\n}\n\n";
  // What pick(n, d) does: a value, or the code of the error it raises.
  struct Result {
    bool ok;
    int64_t v;
  };
  auto pick_of = [](int64_t n, int64_t d) -> Result {
    switch (n % 5) {
      case 0: return n == 0 ? Result{true, 1} : Result{false, 2};
      case 1: return d == 0 ? Result{false, 1} : Result{true, int_div(100, d)};
      case 2: return {false, 3};
      case 3: return {false, 8};
      default: return {true, static_cast<int64_t>(int_text(n).size()) + 1 + n};
    }
  };
  auto deep_of = [&](int64_t n, int64_t d, int64_t depth) -> Result {
    Result x = pick_of(n, d);
    if (!x.ok) return x;
    return {true, x.v + 2 + depth};
  };
  Body b;
  for (int i = 0, k = static_cast<int>(r.range(2, 6)); i < k; ++i) {
    int64_t n = r.range(0, 14), d = r.range(-2, 2), depth = r.range(0, 3);
    Result x = deep_of(n, d, depth);
    std::string call = deep + "(" + int_text(n) + ", " + num(d) + ", " + int_text(depth) + ")";
    switch (r.range(0, 3)) {
      case 0:
        b.line("print_int(try " + call + " catch (e) -e.code)");
        p.print(int_text(x.ok ? x.v : -x.v));
        break;
      case 1:
      {
        std::string v = p.name("v");
        b.line("let " + v + " = try \"v\" .. int_to_text(" + call + ") catch (e) \"err\" .. int_to_text(e.code)");
        b.line("print(" + v + ")");
        p.print(x.ok ? "v" + int_text(x.v) : "err" + int_text(x.v));
        break;
      }
      case 2: {
        // Nested: the inner catch fails again and the outer one catches it.
        b.line("print_int(try (try " + call + " catch (e) 10 / (e.code - e.code)) catch (e2) 1000 + e2.code)");
        p.print(int_text(x.ok ? x.v : 1001));
        break;
      }
      default: {
        // Errors inside a loop that owns a bag in every turn.
        int64_t turns = r.range(1, 6);
        std::string acc = p.name("acc");
        b.line("let " + acc + " = 0");
        std::string i = p.name("i");
        b.line("let " + i + " = 0");
        b.open("while " + i + " < " + int_text(turns));
        b.line("let tmp = " + Bag + " { name: \"t\", xs: [" + i + "], m: map_new() }");
        b.line(i + " += 1");
        b.open("if " + i + " == 2");
        b.line("continue");
        b.close();
        b.line(acc + " += try " + deep + "(" + i + " + " + int_text(n) + ", " + num(d) + ", 1) catch (e) e.code * 100");
        b.line(acc + " += tmp.at(0)");
        b.close();
        b.line("print_int(" + acc + ")");
        int64_t a = 0;
        for (int64_t t = 0; t < turns;) {
          int64_t tmp0 = t;
          ++t;
          if (t == 2) continue;
          Result y = deep_of(t + n, d, 1);
          a += y.ok ? y.v : y.v * 100;
          a += tmp0;
        }
        p.print(int_text(a));
        break;
      }
    }
  }
  finish(p, id, b);
}

// Nested loops with `break` and `continue`, a `do ... while`, and a `for`
// over a multi that stops early.
void part_loops(Program& p, int id) {
  Rng& r = p.rng;
  int64_t N = r.range(0, 12), A = r.range(2, 5), B = r.range(0, 12), C = r.range(0, 6), D = r.range(2, 4);
  int64_t E = r.range(2, 7), F = r.range(0, 900);
  Body b;
  b.line("let acc: multi Int = []");
  b.line("let words: multi Text = []");
  b.line("let total = 0");
  b.line("let i = 0");
  b.open("while i < " + int_text(N));
  b.line("i += 1");
  b.open("if i % " + int_text(A) + " == 0");
  b.line("continue");
  b.close();
  b.open("if i > " + int_text(B));
  b.line("break");
  b.close();
  b.line("let j = 0");
  b.open("while true");
  b.line("j += 1");
  b.open("if j > " + int_text(C));
  b.line("break");
  b.close();
  b.open("if (i + j) % " + int_text(D) + " == 0");
  b.line("continue");
  b.close();
  b.line("total += i * j");
  b.line("push(words, \"w\" .. int_to_text(j))");
  b.close();
  b.line("push(acc, total % 1000)");
  b.close();
  std::vector<int64_t> acc;
  std::vector<std::string> words;
  int64_t total = 0;
  for (int64_t i = 0; i < N;) {
    ++i;
    if (i % A == 0) continue;
    if (i > B) break;
    for (int64_t j = 0;;) {
      ++j;
      if (j > C) break;
      if ((i + j) % D == 0) continue;
      total += i * j;
      words.push_back("w" + int_text(j));
    }
    acc.push_back(total % 1000);
  }
  b.line("let s2 = 0");
  b.open("for x in acc");
  b.open("if x % " + int_text(E) + " == 0");
  b.line("continue");
  b.close();
  b.open("if x > " + int_text(F));
  b.line("break");
  b.close();
  b.line("s2 += x");
  b.close();
  int64_t s2 = 0;
  for (int64_t x : acc) {
    if (x % E == 0) continue;
    if (x > F) break;
    s2 += x;
  }
  int64_t limit = r.range(-2, 10);
  int64_t n = 0;
  do {
    n += 3;
  } while (n < limit);
  b.line("let n = 0");
  b.open("do");
  b.line("n += 3");
  b.close();
  b.line("while n < " + num(limit));
  b.line("print(\"loops ${total} ${s2} ${n} ${count(acc)} \" .. join(words, \"\"))");
  std::string joined;
  for (const std::string& w : words) joined += w;
  p.print("loops " + int_text(total) + " " + int_text(s2) + " " + int_text(n) + " " + int_text(static_cast<int64_t>(acc.size())) +
          " " + joined);
  finish(p, id, b);
}

// A table with a unique Text key and an index: inserts (a duplicate refused),
// queries with where, order by and take, updates, deletes; every row is
// deleted at the end so the part can run again.
void part_table(Program& p, int id) {
  Rng& r = p.rng;
  std::string s = std::to_string(id);
  std::string Row = "Row" + s;
  p.decls += "@table(name: \"rows" + s + "\", index: [grp])\nclass " + Row +
             " {\n  key: Text @unique\n  grp: Int\n  v: Int\n  note: ?Text\n}\n\n";
  struct R {
    std::string key;
    int64_t grp, v;
  };
  std::vector<R> rows;
  Body b;
  int n = static_cast<int>(r.range(0, 12));
  int64_t mult = r.pick(std::vector<int64_t>{7, 11, 13});
  for (int i = 0; i < n; ++i) {
    R row{"k" + int_text(i), r.range(0, 3), (i * mult) % 97};
    std::string note = r.chance(50) ? "nil" : quote(word(r, 0, 3));
    b.line("insert " + Row + " { key: " + quote(row.key) + ", grp: " + int_text(row.grp) + ", v: " + int_text(row.v) +
           ", note: " + note + " }");
    rows.push_back(row);
  }
  if (n > 0) {
    b.line("let dup = try insert " + Row + " { key: \"k0\", grp: 0, v: 0, note: nil } catch (e) -e.code");
    b.line("print_int(dup)");
    p.print("-100");
  }
  for (int q = 0, k = static_cast<int>(r.range(1, 4)); q < k; ++q) {
    int64_t g = r.range(0, 3);
    std::string res = p.name("q");
    switch (r.range(0, 3)) {
      case 0: {
        int64_t take = r.range(1, 5);
        b.line("let " + res + ": multi Text = from x in " + Row + " where x.grp == " + int_text(g) + " order by x.v take " +
               int_text(take) + " select x.key");
        b.line("print(\"q \" .. join(" + res + ", \",\"))");
        std::vector<R> sel;
        for (const R& x : rows) {
          if (x.grp == g) sel.push_back(x);
        }
        std::stable_sort(sel.begin(), sel.end(), [](const R& a, const R& c) { return a.v < c.v; });
        std::string out;
        for (size_t i = 0; i < sel.size() && i < static_cast<size_t>(take); ++i) out += (i ? "," : "") + sel[i].key;
        p.print("q " + out);
        break;
      }
      case 1: {
        int64_t lim = r.range(0, 96);
        b.line("let " + res + ": multi " + Row + " = from x in " + Row + " where x.v > " + int_text(lim) + " order by x.key desc select x");
        b.line("let t = \"\"");
        b.open("for x in " + res);
        b.line("t = t .. x.key .. \":\" .. int_to_text(x.v) .. \" \"");
        b.close();
        b.line("print(t)");
        std::vector<R> sel;
        for (const R& x : rows) {
          if (x.v > lim) sel.push_back(x);
        }
        std::stable_sort(sel.begin(), sel.end(), [](const R& a, const R& c) { return a.key > c.key; });
        std::string out;
        for (const R& x : sel) out += x.key + ":" + int_text(x.v) + " ";
        p.print(out);
        break;
      }
      case 2: {
        // Delete one group.
        b.line("let " + res + ": multi " + Row + " = from x in " + Row + " where x.grp == " + int_text(g) + " select x");
        b.open("for x in " + res);
        b.line("delete x");
        b.close();
        b.line("print_int(count(" + res + "))");
        int64_t c = 0;
        std::vector<R> kept;
        for (const R& x : rows) {
          if (x.grp == g) ++c;
          else kept.push_back(x);
        }
        rows = kept;
        p.print(int_text(c));
        break;
      }
      default: {
        // Update a column that is not indexed.
        b.line("let " + res + ": multi " + Row + " = from x in " + Row + " where x.grp == " + int_text(g) + " select x");
        b.open("for x in " + res);
        b.line("x.v = x.v + 100");
        b.close();
        for (R& x : rows) {
          if (x.grp == g) x.v += 100;
        }
        break;
      }
    }
  }
  b.line("let left: multi " + Row + " = from x in " + Row + " select x");
  b.line("let sum = 0");
  b.open("for x in left");
  b.line("sum += x.v");
  b.line("delete x");
  b.close();
  b.line("print(\"left ${count(left)} ${sum}\")");
  int64_t sum = 0;
  for (const R& x : rows) sum += x.v;
  p.print("left " + int_text(static_cast<int64_t>(rows.size())) + " " + int_text(sum));
  finish(p, id, b);
}

// An actor whose messages carry a Text and a multi: `send` moves a message
// away, `call` waits for the reply, so the replies are known.
void part_actor(Program& p, int id) {
  Rng& r = p.rng;
  std::string s = std::to_string(id);
  std::string Msg = "Msg" + s, Worker = "Worker" + s;
  p.decls += "type " + Msg + " {\n  tag: Text\n  nums: multi Int\n}\n\n";
  p.decls += "class " + Worker + " {\n  total: Int\n  names: multi Text\n\n  fn receive(msg: " + Msg +
             ") -> Int {\n    for n in msg.nums {\n      self.total += n\n    }\n    push(self.names, msg.tag)\n"
             "    return self.total * 1000 + count(self.names)\n  }\n}\n\n";
  Body b;
  b.line("let w = spawn " + Worker + " { total: 0, names: [] }");
  int64_t total = 0, names = 0;
  for (int i = 0, n = static_cast<int>(r.range(1, 6)); i < n; ++i) {
    std::string nums;
    for (int k = 0, m = static_cast<int>(r.range(0, 4)); k < m; ++k) {
      int64_t v = r.range(-20, 50);
      nums += (k ? ", " : "") + num(v);
      total += v;
    }
    ++names;
    std::string msg = Msg + " { tag: " + quote(word(r, 0, 4)) + " .. \"\", nums: [" + nums + "] }";
    if (r.chance(60)) {
      if (r.chance(50)) {
        std::string local = p.name("msg");
        b.line("let " + local + " = " + msg);
        b.line("send(w, " + local + ")");
      } else {
        b.line("send(w, " + msg + ")");
      }
    } else {
      b.line("print_int(call(w, " + msg + "))");
      p.print(int_text(total * 1000 + names));
    }
  }
  finish(p, id, b);
}

// Early exits while a frame owns values: `return` of a loop-local instance
// from inside a `for`, `break` and `continue` with owned locals alive, and a
// text returned from the middle of a loop.
void part_exits(Program& p, int id) {
  Rng& r = p.rng;
  std::string s = std::to_string(id);
  std::string Tk = "Tk" + s, find = "find" + s, longest = "long" + s;
  int64_t limit = r.range(5, 60);
  p.decls += "class " + Tk + " {\n  name: Text\n  vals: multi Int\n}\n\n";
  p.decls += "fn " + find + "(xs: multi Int, target: Int) -> " + Tk + " {\n  let acc = " + Tk +
             " { name: \"acc\", vals: [] }\n  for x in xs {\n    let tmp = " + Tk +
             " { name: \"t\" .. int_to_text(x), vals: [x] }\n    if x == target {\n      return tmp\n    }\n"
             "    if x < 0 {\n      continue\n    }\n    if x > " + int_text(limit) +
             " {\n      break\n    }\n    push(acc.vals, x)\n  }\n  return acc\n}\n\n";
  p.decls += "fn " + longest + "(xs: multi Text, n: Int) -> Text {\n  let acc = \"\"\n  for w in xs {\n    let up = w .. \"!\"\n"
             "    if len(w) > n {\n      return up\n    }\n    acc = acc .. w\n  }\n  return acc\n}\n\n";
  std::vector<int64_t> xs;
  std::string code;
  for (int i = 0, n = static_cast<int>(r.range(0, 9)); i < n; ++i) {
    int64_t v = r.range(-10, 80);
    xs.push_back(v);
    code += (i ? ", " : "") + num(v);
  }
  Body b;
  b.line("let xs: multi Int = [" + code + "]");
  for (int t = 0, k = static_cast<int>(r.range(1, 4)); t < k; ++t) {
    int64_t target = xs.empty() || r.chance(30) ? r.range(-10, 80) : r.pick(xs);
    std::string name = "acc";
    int64_t vals = 0;
    bool found = false;
    for (int64_t x : xs) {
      if (x == target) {
        name = "t" + int_text(x);
        vals = 1;
        found = true;
        break;
      }
      if (x < 0) continue;
      if (x > limit) break;
      ++vals;
    }
    (void)found;
    std::string rv = p.name("r");
    b.line("let " + rv + " = " + find + "(xs, " + num(target) + ")");
    b.line("print(" + rv + ".name .. \" \" .. int_to_text(count(" + rv + ".vals)))");
    p.print(name + " " + int_text(vals));
  }
  std::vector<std::string> ws;
  std::string wcode;
  for (int i = 0, n = static_cast<int>(r.range(0, 6)); i < n; ++i) {
    ws.push_back(word(r, 0, 6));
    wcode += (i ? ", " : "") + quote(ws.back());
  }
  int64_t n = r.range(0, 5);
  b.line("let ws: multi Text = [" + wcode + "]");
  b.line("print(" + longest + "(ws, " + int_text(n) + "))");
  std::string acc;
  std::string out;
  bool returned = false;
  for (const std::string& w : ws) {
    if (static_cast<int64_t>(w.size()) > n) {
      out = w + "!";
      returned = true;
      break;
    }
    acc += w;
  }
  p.print(returned ? out : acc);
  finish(p, id, b);
}

}  // namespace hunt
