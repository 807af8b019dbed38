// The builtin functions called by bare name: their signatures, the check of a
// call against its signature, and the result type typing takes for a call.
#include <array>

#include "types/types.hpp"
#include "typing.hpp"

namespace Types {

namespace {

// What typing knows about a builtin's result.
enum class Ret : std::uint8_t {
  Unknown,         // no known type
  Int,
  Bool,
  Text,
  Float,
  Bytes,
  Timestamp,
  NullableInt,     // ?Int
  NullableBytes,   // ?Bytes
  MultiText,       // multi Text
  Element,         // element of the `multi` argument
  ElementOrValue,  // element of a `multi`, value of a `map`
  SameMulti,       // the `multi` argument's own type
  Key,             // key of the `map` argument
  Value,           // value of the `map` argument
  NullableText,    // ?Text
  SameNumber,      // Int or Float, as the first argument
};

struct BuiltinSig {
  std::string_view name;
  int arity;
  std::array<Req, 3> reqs;  // the first `arity` entries count
  Ret ret;
};

constexpr Req T = Req::ReqText;
constexpr Req I = Req::ReqInt;
constexpr Req F = Req::ReqFloat;
constexpr Req B = Req::ReqBytes;
constexpr Req MU = Req::ReqMulti;
constexpr Req MA = Req::ReqMap;
constexpr Req CO = Req::ReqCollection;
constexpr Req AN = Req::ReqAny;
constexpr Req N = Req::ReqNumber;

// Looked up by name, first match in this order.
constexpr std::array<BuiltinSig, 75> builtin_sigs{{
    {"now", 0, {}, Ret::Timestamp},
    {"print", 1, {T}, Ret::Int},
    {"print_int", 1, {I}, Ret::Int},
    {"words", 1, {T}, Ret::Int},
    {"multi_new", 0, {}, Ret::Unknown},
    {"map_new", 0, {}, Ret::Unknown},
    {"push", 2, {MU, AN}, Ret::Int},
    {"get", 2, {CO, AN}, Ret::ElementOrValue},
    {"count", 1, {CO}, Ret::Int},
    {"latest", 1, {MU}, Ret::Element},
    {"set", 3, {MA, AN, AN}, Ret::Int},
    {"has", 2, {MA, AN}, Ret::Bool},
    {"int_to_text", 1, {I}, Ret::Text},
    {"len", 1, {AN}, Ret::Int},
    {"byte_at", 2, {T, I}, Ret::Int},
    {"print_err", 1, {T}, Ret::Int},
    {"starts_with", 2, {T, T}, Ret::Bool},
    {"ends_with", 2, {T, T}, Ret::Bool},
    {"index_of", 2, {T, T}, Ret::Int},
    {"last_index_of", 2, {T, T}, Ret::Int},
    {"substr", 3, {T, I, I}, Ret::Text},
    {"trim", 1, {T}, Ret::Text},
    {"to_lower", 1, {T}, Ret::Text},
    {"char_of", 1, {I}, Ret::Text},
    {"parse_int", 1, {T}, Ret::NullableInt},
    {"split", 2, {T, T}, Ret::MultiText},
    {"split_ws", 1, {T}, Ret::MultiText},
    {"join", 2, {MU, T}, Ret::Text},
    {"slice", 3, {MU, I, I}, Ret::SameMulti},
    {"pop", 1, {MU}, Ret::Element},
    {"shift", 1, {MU}, Ret::Element},
    {"sort", 1, {MU}, Ret::Int},
    {"reverse", 1, {MU}, Ret::Int},
    {"remove", 2, {MA, AN}, Ret::Bool},
    {"key_at", 2, {MA, I}, Ret::Key},
    {"val_at", 2, {MA, I}, Ret::Value},
    {"float", 1, {I}, Ret::Float},
    {"trunc", 1, {F}, Ret::Int},
    {"parse_float", 1, {T}, Ret::Float},
    {"float_to_text", 1, {F}, Ret::Text},
    {"float_cmp", 2, {F, F}, Ret::Int},
    {"bytes_len", 1, {B}, Ret::Int},
    {"bytes_at", 2, {B, I}, Ret::Int},
    {"bytes_slice", 3, {B, I, I}, Ret::Bytes},
    {"bytes_eq", 2, {B, B}, Ret::Bool},
    {"bytes_concat", 2, {B, B}, Ret::Bytes},
    {"base64_encode", 1, {B}, Ret::Text},
    {"base64_decode", 1, {T}, Ret::NullableBytes},
    {"bytes_of_text", 1, {T}, Ret::Bytes},
    {"text_of_bytes", 1, {B}, Ret::Text},
    {"sha1", 1, {B}, Ret::Bytes},
    {"sha256", 1, {B}, Ret::Bytes},
    {"hmac_sha256", 2, {B, B}, Ret::Bytes},
    {"to_upper", 1, {T}, Ret::Text},
    {"replace", 3, {T, T, T}, Ret::Text},
    {"contains", 2, {T, T}, Ret::Bool},
    {"repeat", 2, {T, I}, Ret::Text},
    {"pad_left", 2, {T, I}, Ret::Text},
    {"pad_right", 2, {T, I}, Ret::Text},
    {"read_line", 0, {}, Ret::NullableText},
    {"raise", 2, {I, T}, Ret::Unknown},
    // Library members checked like builtins, by "module.member".
    {"math.sqrt", 1, {F}, Ret::Float},
    {"math.floor", 1, {F}, Ret::Float},
    {"math.ceil", 1, {F}, Ret::Float},
    {"math.round", 1, {F}, Ret::Float},
    {"math.abs", 1, {N}, Ret::SameNumber},
    {"math.min", 2, {N, N}, Ret::SameNumber},
    {"math.max", 2, {N, N}, Ret::SameNumber},
    {"math.pow", 2, {F, F}, Ret::Float},
    {"math.exp", 1, {F}, Ret::Float},
    {"math.log", 1, {F}, Ret::Float},
    {"math.sin", 1, {F}, Ret::Float},
    {"math.cos", 1, {F}, Ret::Float},
    {"math.atan2", 2, {F, F}, Ret::Float},
    {"math.pi", 0, {}, Ret::Float},
}};

const BuiltinSig* find_builtin(std::string_view name) {
  for (const BuiltinSig& sig : builtin_sigs) {
    if (sig.name == name) return &sig;
  }
  return nullptr;
}

struct ReqInfo {
  Req req;
  std::string_view label;
};
constexpr std::array<ReqInfo, 9> req_infos{{
    {Req::ReqText, "Text"},
    {Req::ReqInt, "Int"},
    {Req::ReqFloat, "Float"},
    {Req::ReqBytes, "Bytes"},
    {Req::ReqMulti, "a `multi`"},
    {Req::ReqMap, "a `map`"},
    {Req::ReqCollection, "a `multi` or `map`"},
    {Req::ReqAny, "any"},
    {Req::ReqNumber, "Int or Float"},
}};

}  // namespace

bool is_builtin_name(std::string_view name) { return find_builtin(name) != nullptr; }

std::string_view req_label(Req req) { return req_infos[static_cast<std::size_t>(req)].label; }

bool matches_req(Req req, const Typ& ty) {
  const Typ& t = strip_nullable(ty);
  std::string_view name = named_name(t);
  switch (req) {
    case Req::ReqText: return name == "Text";
    case Req::ReqInt:
      return is_builtin_scalar(name) && name != "Text" && name != "Float" && name != "Bytes";
    case Req::ReqFloat: return name == "Float";
    case Req::ReqBytes: return name == "Bytes";
    case Req::ReqMulti: return t.is<TMulti>();
    case Req::ReqMap: return t.is<TMap>();
    case Req::ReqCollection: return t.is<TMulti>() || t.is<TMap>();
    case Req::ReqAny: return true;
    case Req::ReqNumber: return name == "Int" || name == "Float";
  }
  return false;
}

void check_builtin_call(const std::string& path, Diag::Collector& collector, std::string_view name,
                        Ast::Pos pos, std::span<const BuiltinArg> args) {
  const BuiltinSig* sig = find_builtin(name);
  if (!sig) return;
  const std::string n(name);
  if (args.size() != static_cast<std::size_t>(sig->arity)) {
    collector.add(Diag::error(Typing::builtin_code, path, pos.line, pos.col,
                              "builtin `" + n + "` takes " + std::to_string(sig->arity) + " argument(s), given " +
                                  std::to_string(args.size())));
    return;
  }
  bool fits = true;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (!args[i].ty || matches_req(sig->reqs[i], *args[i].ty)) continue;
    fits = false;
    collector.add(Diag::error(Typing::builtin_code, path, args[i].pos.line, args[i].pos.col,
                              "builtin `" + n + "` expects " + std::string(req_label(sig->reqs[i])) + ", got `" +
                                  typ_label(*args[i].ty) + "`"));
  }
  // `math.min(1, 2.0)`: Int and Float do not mix; the first argument decides.
  if (fits && sig->ret == Ret::SameNumber && args.size() == 2 && args[0].ty && args[1].ty) {
    std::string_view first = named_name(strip_nullable(*args[0].ty));
    if (first != named_name(strip_nullable(*args[1].ty))) {
      collector.add(Diag::error(Typing::builtin_code, path, args[1].pos.line, args[1].pos.col,
                                "builtin `" + n + "` expects " + std::string(first) + ", got `" +
                                    typ_label(*args[1].ty) + "`"));
    }
  }
}

std::string library_signature_name(std::string_view module, std::string_view member) {
  return std::string(module) + "." + std::string(member);
}

std::optional<Typ> library_call_result(std::string_view module, std::string_view member,
                                       const std::optional<Typ>& first_arg) {
  std::string signature = library_signature_name(module, member);
  if (find_builtin(signature)) return builtin_confident_ret(signature, first_arg);
  const StdlibMember* m = stdlib_member(module, member);
  return m ? stdlib_member_result(*m) : std::nullopt;
}

std::optional<Typ> builtin_confident_ret(std::string_view name, const std::optional<Typ>& first_arg) {
  const BuiltinSig* sig = find_builtin(name);
  if (!sig) return std::nullopt;
  const Typ* first = first_arg ? &strip_nullable(*first_arg) : nullptr;
  const TMulti* multi = first ? first->get_if<TMulti>() : nullptr;
  const TMap* map = first ? first->get_if<TMap>() : nullptr;
  switch (sig->ret) {
    case Ret::Unknown: return std::nullopt;
    case Ret::Int: return t_named("Int");
    case Ret::Bool: return t_named("Bool");
    case Ret::Text: return t_named("Text");
    case Ret::Float: return t_named("Float");
    case Ret::Bytes: return t_named("Bytes");
    case Ret::Timestamp: return t_named("Timestamp");
    case Ret::NullableInt: return t_nullable(t_named("Int"));
    case Ret::NullableBytes: return t_nullable(t_named("Bytes"));
    case Ret::NullableText: return t_nullable(t_named("Text"));
    case Ret::SameNumber:
      if (first && (named_name(*first) == "Int" || named_name(*first) == "Float")) return *first;
      return std::nullopt;
    case Ret::MultiText: return t_multi(t_named("Text"));
    case Ret::Element:
      if (multi) return *multi->elem;
      return std::nullopt;
    case Ret::ElementOrValue:
      if (multi) return *multi->elem;
      if (map) return *map->value;
      return std::nullopt;
    case Ret::SameMulti:
      if (multi) return *first;
      return std::nullopt;
    case Ret::Key:
      if (map) return *map->key;
      return std::nullopt;
    case Ret::Value:
      if (map) return *map->value;
      return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace Types
