// Parts over plain values: Int and Float arithmetic, texts, multis and maps.
#include <algorithm>
#include <charconv>

#include "gen.hpp"

namespace hunt {

namespace {

// How the runtime prints a Float: the shortest text that reads back, with
// `.0` on whole numbers.
std::string float_text(double v) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  std::string s(buf, r.ptr);
  if (s.find_first_of(".en") == std::string::npos) s += ".0";
  return s;
}

std::string join_ints(const std::vector<int64_t>& xs) {
  std::string out;
  for (int64_t x : xs) out += " " + int_text(x);
  return out;
}

std::string join_texts(const std::vector<std::string>& xs, const std::string& sep) {
  std::string out;
  for (size_t i = 0; i < xs.size(); ++i) out += (i ? sep : "") + xs[i];
  return out;
}

}  // namespace

void part_arith(Program& p, int id) {
  Rng& r = p.rng;
  Body b;
  std::vector<IntVar> vars;
  int n = static_cast<int>(r.range(2, 6));
  for (int i = 0; i < n; ++i) {
    IntExpr e = int_expr(p, vars, 3);
    std::string name = p.name("a");
    b.line("let " + name + " = " + e.code);
    vars.push_back({name, e.value});
  }
  int steps = static_cast<int>(r.range(2, 8));
  for (int i = 0; i < steps; ++i) {
    IntVar& target = vars[static_cast<size_t>(r.range(0, static_cast<int64_t>(vars.size()) - 1))];
    IntExpr e = int_expr(p, vars, 3);
    switch (r.range(0, 3)) {
      case 0:
        b.line(target.name + " = " + e.code);
        target.value = e.value;
        break;
      case 1:
        b.line(target.name + " += " + e.code);
        target.value = wrap_add(target.value, e.value);
        break;
      case 2:
        b.line(target.name + " -= " + e.code);
        target.value = wrap_sub(target.value, e.value);
        break;
      default:
        b.line("print_int(" + e.code + ")");
        p.print(int_text(e.value));
        break;
    }
  }
  // A helper taking two Ints, called once with the current values.
  const IntVar& x = r.pick(vars);
  const IntVar& y = r.pick(vars);
  std::string helper_name = "h" + std::to_string(id);
  IntExpr body = int_expr(p, {{"x", x.value}, {"y", y.value}}, 3);
  std::string helper = "fn " + helper_name + "(x: Int, y: Int) -> Int {\n  return " + body.code + "\n}\n\n";
  b.line("print(\"h ${" + helper_name + "(" + x.name + ", " + y.name + ")} ${" + vars[0].name + "}\")");
  p.print("h " + int_text(body.value) + " " + int_text(vars[0].value));

  // Floats stay small and dyadic, so every result is exact.
  if (r.chance(50)) {
    double f = static_cast<double>(r.range(-40, 40)) / 4.0;
    b.line("let f = " + float_text(f));
    for (int i = 0, m = static_cast<int>(r.range(1, 4)); i < m; ++i) {
      double k = static_cast<double>(r.range(1, 8)) / 2.0;
      switch (r.range(0, 2)) {
        case 0:
          b.line("f = f + " + float_text(k));
          f = f + k;
          break;
        case 1:
          b.line("f = f - " + float_text(k));
          f = f - k;
          break;
        default:
          b.line("f = f * " + float_text(k / 4.0 + 0.25));
          f = f * (k / 4.0 + 0.25);
          break;
      }
      if (f > 500 || f < -500) {
        b.line("f = 1.5");
        f = 1.5;
      }
    }
    b.line("print(\"f ${f} ${trunc(f)} \" .. float_to_text(f * 2.0))");
    p.print("f " + float_text(f) + " " + int_text(static_cast<int64_t>(f)) + " " + float_text(f * 2.0));
  }
  finish(p, id, b, helper);
}

void part_texts(Program& p, int id) {
  Rng& r = p.rng;
  Body b;
  struct TextVar {
    std::string name;
    std::string value;
  };
  std::vector<TextVar> vars;
  int n = static_cast<int>(r.range(2, 4));
  for (int i = 0; i < n; ++i) {
    std::string w = word(r, 0, 8);
    TextVar v{p.name("t"), w};
    b.line("let " + v.name + " = " + quote(w));
    vars.push_back(v);
  }
  auto pick = [&]() -> TextVar& { return vars[static_cast<size_t>(r.range(0, static_cast<int64_t>(vars.size()) - 1))]; };
  int steps = static_cast<int>(r.range(4, 12));
  for (int i = 0; i < steps; ++i) {
    TextVar& a = pick();
    TextVar& c = pick();
    switch (r.range(0, 11)) {
      case 0: {
        std::string w = word(r, 1, 4);
        b.line(a.name + " = " + c.name + " .. " + quote(w));
        a.value = c.value + w;
        break;
      }
      case 1: {
        std::string joined = a.value + ":" + c.value;
        b.line(a.name + " = \"${" + a.name + "}:${" + c.name + "}\"");
        a.value = joined;
        break;
      }
      case 2: {
        int64_t s = r.range(0, static_cast<int64_t>(c.value.size()));
        int64_t k = r.range(0, static_cast<int64_t>(c.value.size()) - s);
        b.line(a.name + " = substr(" + c.name + ", " + int_text(s) + ", " + int_text(k) + ")");
        a.value = c.value.substr(static_cast<size_t>(s), static_cast<size_t>(k));
        break;
      }
      case 3:
        b.line("print_int(len(" + a.name + ") + index_of(" + a.name + ", " + quote(c.value.substr(0, 2)) + "))");
        {
          size_t at = a.value.find(c.value.substr(0, 2));
          int64_t idx = at == std::string::npos ? -1 : static_cast<int64_t>(at);
          p.print(int_text(static_cast<int64_t>(a.value.size()) + idx));
        }
        break;
      case 4:
        b.open("if " + a.name + " < " + c.name);
        b.line("print(\"lt\")");
        b.close();
        b.open("if " + a.name + " == " + c.name);
        b.line("print(\"eq\")");
        b.close();
        if (a.value < c.value) p.print("lt");
        if (a.value == c.value) p.print("eq");
        break;
      case 5: {
        // Split on a letter and join back with another mark.
        std::string sep(1, static_cast<char>('a' + r.range(0, 5)));
        b.line(a.name + " = join(split(" + c.name + ", " + quote(sep) + "), \"+\")");
        std::vector<std::string> pieces;
        size_t from = 0;
        for (;;) {
          size_t at = c.value.find(sep, from);
          pieces.push_back(c.value.substr(from, at == std::string::npos ? std::string::npos : at - from));
          if (at == std::string::npos) break;
          from = at + 1;
        }
        a.value = join_texts(pieces, "+");
        break;
      }
      case 6: {
        // A text grown in a loop, each step a fresh text.
        int64_t times = r.range(0, 6);
        std::string w = word(r, 1, 3);
        std::string loop_var = p.name("k");
        b.line("let " + loop_var + " = 0");
        b.open("while " + loop_var + " < " + int_text(times));
        b.line(a.name + " = " + a.name + " .. " + quote(w) + " .. int_to_text(" + loop_var + ")");
        b.line(loop_var + " += 1");
        b.close();
        for (int64_t k = 0; k < times; ++k) a.value += w + int_text(k);
        break;
      }
      case 7: {
        std::string lower;
        for (char ch : c.value) lower += (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch - 'A' + 'a') : ch;
        b.line(a.name + " = to_lower(" + c.name + ")");
        a.value = lower;
        break;
      }
      case 8: {
        std::string pre = c.value.substr(0, static_cast<size_t>(r.range(0, 2)));
        b.open("if starts_with(" + a.name + ", " + quote(pre) + ") and not ends_with(" + a.name + ", \"q\")");
        b.line("print(\"sw \" .. " + a.name + ")");
        b.close();
        if (a.value.starts_with(pre) && !a.value.ends_with("q")) p.print("sw " + a.value);
        break;
      }
      case 9:
        if (!a.value.empty()) {
          int64_t i2 = r.range(0, static_cast<int64_t>(a.value.size()) - 1);
          b.line("print_int(byte_at(" + a.name + ", " + int_text(i2) + "))");
          p.print(int_text(static_cast<unsigned char>(a.value[static_cast<size_t>(i2)])));
        }
        break;
      case 10: {
        int64_t ch = r.range(97, 122);
        b.line(a.name + " = char_of(" + int_text(ch) + ") .. trim(" + quote("  " + c.value.substr(0, 3)) + ")");
        std::string t = "  " + c.value.substr(0, 3);
        size_t s = t.find_first_not_of(" \t\n\r");
        size_t e = t.find_last_not_of(" \t\n\r");
        a.value = std::string(1, static_cast<char>(ch)) + (s == std::string::npos ? "" : t.substr(s, e - s + 1));
        break;
      }
      default:
        b.line("print(" + a.name + ")");
        p.print(a.value);
        break;
    }
  }
  std::string all;
  std::string code = "print(\"";
  for (const TextVar& v : vars) {
    code += "[${" + v.name + "}]";
    all += "[" + v.value + "]";
  }
  b.line(code + "\")");
  p.print(all);
  finish(p, id, b);
}

void part_multi(Program& p, int id) {
  Rng& r = p.rng;
  Body b;
  bool texts = r.chance(50);
  std::vector<int64_t> ints;
  std::vector<std::string> strs;
  std::string xs = p.name("xs");
  b.line("let " + xs + ": multi " + (texts ? "Text" : "Int") + " = multi_new()");
  auto size = [&]() { return static_cast<int64_t>(texts ? strs.size() : ints.size()); };
  auto element = [&](std::string& code) {
    if (texts) {
      std::string w = word(r, 0, 5);
      code = r.chance(50) ? quote(w) : quote(w.substr(0, 1)) + " .. " + quote(w.size() > 1 ? w.substr(1) : "");
      strs.push_back(w);
    } else {
      IntExpr e = int_literal(r);
      code = e.code;
      ints.push_back(e.value);
    }
  };
  auto show = [&]() {
    if (texts) {
      b.line("print(\"" + xs + " \" .. join(" + xs + ", \",\"))");
      p.print(xs + " " + join_texts(strs, ","));
    } else {
      std::string out = p.name("out");
      b.line("let " + out + " = \"\"");
      b.open("for x in " + xs);
      b.line(out + " = " + out + " .. \" \" .. int_to_text(x)");
      b.close();
      b.line("print(\"" + xs + "\" .. " + out + ")");
      p.print(xs + join_ints(ints));
    }
  };
  int steps = static_cast<int>(r.range(5, 16));
  for (int i = 0; i < steps; ++i) {
    switch (r.range(0, 12)) {
      case 0:
      case 1:
      case 2: {
        std::string code;
        element(code);
        b.line("push(" + xs + ", " + code + ")");
        break;
      }
      case 3:
        if (size() > 0) {
          b.line("print(\"pop ${pop(" + xs + ")}\")");
          p.print("pop " + (texts ? strs.back() : int_text(ints.back())));
          if (texts) strs.pop_back(); else ints.pop_back();
        }
        break;
      case 4:
        if (size() > 0) {
          b.line("print(\"shift ${shift(" + xs + ")}\")");
          p.print("shift " + (texts ? strs.front() : int_text(ints.front())));
          if (texts) strs.erase(strs.begin()); else ints.erase(ints.begin());
        }
        break;
      case 5:
        if (size() > 0 && (!texts || p.on("element-store-leaks-old"))) {
          int64_t k = r.range(0, size() - 1);
          std::string code;
          element(code);
          b.line(xs + "[" + int_text(k) + "] = " + code);
          if (texts) {
            strs[static_cast<size_t>(k)] = strs.back();
            strs.pop_back();
          } else {
            ints[static_cast<size_t>(k)] = ints.back();
            ints.pop_back();
          }
        }
        break;
      case 6:
        b.line("sort(" + xs + ")");
        if (texts) std::stable_sort(strs.begin(), strs.end()); else std::stable_sort(ints.begin(), ints.end());
        break;
      case 7:
        b.line("reverse(" + xs + ")");
        if (texts) std::reverse(strs.begin(), strs.end()); else std::reverse(ints.begin(), ints.end());
        break;
      case 8: {
        int64_t from = r.range(0, size());
        int64_t to = r.range(from, size());
        std::string part = p.name("part");
        b.line("let " + part + " = slice(" + xs + ", " + int_text(from) + ", " + int_text(to) + ")");
        b.line("print_int(count(" + part + "))");
        p.print(int_text(to - from));
        if (r.chance(50)) {
          b.line(xs + " = " + part);
          if (texts) strs = std::vector<std::string>(strs.begin() + from, strs.begin() + to);
          else ints = std::vector<int64_t>(ints.begin() + from, ints.begin() + to);
        }
        break;
      }
      case 9: {
        // A read at a random index, out of range caught.
        int64_t k = r.range(-1, size() + 1);
        bool inside = k >= 0 && k < size();
        if (texts && p.on("try-arm-lent-text")) {
          b.line("print(try " + xs + "[" + int_text(k) + "] catch (e) \"caught ${e.code}\")");
          p.print(inside ? strs[static_cast<size_t>(k)] : "caught 2");
        } else if (texts) {
          b.line("print_int(try len(get(" + xs + ", " + int_text(k) + ")) catch (e) -e.code)");
          p.print(inside ? int_text(static_cast<int64_t>(strs[static_cast<size_t>(k)].size())) : "-2");
        } else {
          b.line("print_int(try get(" + xs + ", " + int_text(k) + ") catch (e) -e.code)");
          p.print(inside ? int_text(ints[static_cast<size_t>(k)]) : "-2");
        }
        break;
      }
      case 10:
        if (size() > 0) {
          b.line("print(\"latest ${latest(" + xs + ")} ${count(" + xs + ")}\")");
          p.print("latest " + (texts ? strs.back() : int_text(ints.back())) + " " + int_text(size()));
        }
        break;
      default:
        show();
        break;
    }
  }
  show();
  finish(p, id, b);
}

void part_map(Program& p, int id) {
  Rng& r = p.rng;
  Body b;
  bool text_keys = r.chance(60);
  // Entries in insertion order; removing one moves the last into its place.
  std::vector<std::pair<std::string, std::string>> entries;  // key code value, value
  std::string m = p.name("m");
  b.line("let " + m + ": map<" + (text_keys ? "Text, Int" : "Int, Text") + "> = map_new()");
  auto key = [&]() { return text_keys ? word(r, 1, 2) : int_text(r.range(-3, 8)); };
  auto key_code = [&](const std::string& k) { return text_keys ? quote(k) : (k[0] == '-' ? "(" + k + ")" : k); };
  auto find = [&](const std::string& k) {
    for (size_t i = 0; i < entries.size(); ++i) {
      if (entries[i].first == k) return static_cast<int64_t>(i);
    }
    return int64_t{-1};
  };
  auto value = [&](std::string& code) {
    if (text_keys) {
      int64_t v = r.range(-50, 50);
      code = v < 0 ? "(" + int_text(v) + ")" : int_text(v);
      return int_text(v);
    }
    std::string w = word(r, 0, 4);
    code = quote(w) + " .. \"!\"";
    return w + "!";
  };
  int steps = static_cast<int>(r.range(6, 18));
  for (int i = 0; i < steps; ++i) {
    std::string k = key();
    int64_t at = find(k);
    switch (r.range(0, 7)) {
      case 0:
      case 1:
      case 2: {
        std::string code;
        std::string v = value(code);
        b.line("set(" + m + ", " + key_code(k) + ", " + code + ")");
        if (at >= 0) entries[static_cast<size_t>(at)].second = v;
        else entries.push_back({k, v});
        break;
      }
      case 3:
        b.line("print(\"rm \" .. yes(remove(" + m + ", " + key_code(k) + ")))");
        p.print(std::string("rm ") + (at >= 0 ? "true" : "false"));
        if (at >= 0) {
          entries[static_cast<size_t>(at)] = entries.back();
          entries.pop_back();
        }
        break;
      case 4:
        b.line("print(\"has \" .. yes(has(" + m + ", " + key_code(k) + ")) .. \" ${count(" + m + ")}\")");
        p.print(std::string("has ") + (at >= 0 ? "true" : "false") + " " + int_text(static_cast<int64_t>(entries.size())));
        break;
      case 5:
        if (text_keys) {
          b.line("print_int(try get(" + m + ", " + key_code(k) + ") catch (e) 1000 + e.code)");
          p.print(at >= 0 ? entries[static_cast<size_t>(at)].second : "1003");
        } else {
          // A catch arm that yields the error's own message text.
          if (p.on("catch-arm-lent-text")) {
            b.line("print(try get(" + m + ", " + key_code(k) + ") catch (e) e.msg)");
            p.print(at >= 0 ? entries[static_cast<size_t>(at)].second : "get: no entry for the key " + k);
          } else if (p.on("try-arm-lent-text")) {
            b.line("print(try get(" + m + ", " + key_code(k) + ") catch (e) \"missing \" .. int_to_text(e.code))");
            p.print(at >= 0 ? entries[static_cast<size_t>(at)].second : "missing 3");
          } else {
            b.line("print(try \"v \" .. get(" + m + ", " + key_code(k) + ") catch (e) \"missing \" .. int_to_text(e.code))");
            p.print(at >= 0 ? "v " + entries[static_cast<size_t>(at)].second : "missing 3");
          }
        }
        break;
      case 6: {
        std::string line;
        b.open("for k, v in " + m);
        b.line("print(\"${k}=${v}\")");
        b.close();
        for (auto& [ek, ev] : entries) p.print(ek + "=" + ev);
        break;
      }
      default: {
        std::string i2 = p.name("i");
        b.line("let " + i2 + " = 0");
        b.open("while " + i2 + " < count(" + m + ")");
        b.line("print(\"at ${" + i2 + "} ${key_at(" + m + ", " + i2 + ")} ${val_at(" + m + ", " + i2 + ")}\")");
        b.line(i2 + " += 1");
        b.close();
        for (size_t j = 0; j < entries.size(); ++j) p.print("at " + std::to_string(j) + " " + entries[j].first + " " + entries[j].second);
        break;
      }
    }
  }
  b.line("print_int(count(" + m + "))");
  p.print(int_text(static_cast<int64_t>(entries.size())));
  finish(p, id, b);
}

// Texts passed between places that keep them: fields, elements, map keys
// and values, locals and results, read lent from one place and stored in
// another, so every store must take its own reference.
void part_text_flow(Program& p, int id) {
  Rng& r = p.rng;
  std::string s = std::to_string(id);
  std::string Hold = "Hold" + s, pick = "pickt" + s;
  p.decls += "class " + Hold + " {\n  name: Text\n  names: multi Text\n  m: map<Text, Text>\n\n"
             "  fn first() -> Text {\n    return get(self.names, 0)\n  }\n\n  fn label() -> Text {\n    return self.name\n  }\n}\n\n";
  p.decls += "fn " + pick + "(xs: multi Text, i: Int) -> Text {\n  return xs[i]\n}\n\n";
  std::string name = word(r, 1, 4);
  std::vector<std::string> names = {word(r, 1, 3), word(r, 1, 3)};
  std::vector<std::pair<std::string, std::string>> m;
  auto set_m = [&](const std::string& k, const std::string& v) {
    for (auto& e : m) {
      if (e.first == k) {
        e.second = v;
        return;
      }
    }
    m.push_back({k, v});
  };
  Body b;
  b.line("let h = " + Hold + " { name: " + quote(name) + " .. \"\", names: [" + quote(names[0]) + ", " + quote(names[1]) +
         " .. \"\"], m: map_new() }");
  auto idx = [&]() { return r.range(0, static_cast<int64_t>(names.size()) - 1); };
  for (int i = 0, n = static_cast<int>(r.range(4, 14)); i < n; ++i) {
    switch (r.range(0, 11)) {
      case 0: {
        int64_t k = idx();
        b.line("h.name = h.names[" + int_text(k) + "]");
        name = names[static_cast<size_t>(k)];
        break;
      }
      case 1:
        b.line("push(h.names, h.name)");
        names.push_back(name);
        break;
      case 2: {
        int64_t k = idx();
        b.line("set(h.m, h.names[" + int_text(k) + "], h.name)");
        set_m(names[static_cast<size_t>(k)], name);
        break;
      }
      case 3: {
        std::string t = p.name("t");
        b.line("let " + t + " = h.first()");
        b.line("push(h.names, " + t + ")");
        names.push_back(names[0]);
        break;
      }
      case 4: {
        int64_t k = idx();
        b.line("h.name = " + pick + "(h.names, " + int_text(k) + ")");
        name = names[static_cast<size_t>(k)];
        break;
      }
      case 5:
        if (!m.empty()) {
          const auto& e = r.pick(m);
          std::string u = p.name("u");
          b.line("let " + u + " = get(h.m, " + quote(e.first) + ")");
          b.line("h.name = " + u);
          name = e.second;
        }
        break;
      case 6: {
        std::string w = word(r, 1, 3);
        std::string loc = p.name("loc");
        b.line("let " + loc + " = h.name .. " + quote(w));
        b.line("h.name = " + loc);
        b.line("push(h.names, " + loc + ")");
        name += w;
        names.push_back(name);
        break;
      }
      case 7:
        if (names.size() > 1) {
          b.line("h.name = pop(h.names)");
          name = names.back();
          names.pop_back();
        }
        break;
      case 8:
        if (!m.empty()) {
          std::string k = r.pick(m).first;
          b.line("remove(h.m, " + quote(k) + ")");
          for (auto& e : m) {
            if (e.first == k) {
              e = m.back();
              m.pop_back();
              break;
            }
          }
        }
        break;
      case 9: {
        std::string lab = p.name("lab");
        b.line("let " + lab + " = h.label()");
        b.line("set(h.m, " + lab + ", " + lab + " .. \"!\")");
        set_m(name, name + "!");
        break;
      }
      case 10: {
        // A local holding a lent element, then stored twice.
        int64_t k = idx();
        std::string e = p.name("e");
        b.line("let " + e + " = h.names[" + int_text(k) + "]");
        b.line("set(h.m, " + e + " .. \"k\", " + e + ")");
        set_m(names[static_cast<size_t>(k)] + "k", names[static_cast<size_t>(k)]);
        break;
      }
      default:
        if (p.on("element-store-leaks-old") && names.size() > 1) {
          int64_t k = idx();
          b.line("h.names[" + int_text(k) + "] = h.name");
          names[static_cast<size_t>(k)] = name;
        }
        break;
    }
  }
  b.line("print(h.name .. \" | \" .. join(h.names, \",\"))");
  p.print(name + " | " + join_texts(names, ","));
  b.open("for k, v in h.m");
  b.line("print(k .. \"=\" .. v)");
  b.close();
  for (const auto& [k, v] : m) p.print(k + "=" + v);
  finish(p, id, b);
}

}  // namespace hunt
