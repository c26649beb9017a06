// The JSON grammar: a pure LALR(1) parser whose actions build the tree through
// JSONDocument. The top level must be an object or an array.
//
// The parser's stack starts with room for 200 entries (on the C stack, so a parse needs no
// heap block for it) and grows up to YYMAXDEPTH; nesting is bounded separately, in levels,
// by kMaxDepth, well within that.

%require "3.8"
%define api.pure full
%define api.prefix {json_yy}
%define api.value.type {JSON::detail::TokenText}
%define api.token.prefix {TOKEN_}
%define parse.error simple
%expect 0

%param {void* scanner}
%parse-param {JSON::detail::ParseContext& context}

%code requires {
#include "base/json/parser_support.h"
}

%code provides {
// JsonLex is the scanner (see json_scanner.l): it returns the next token's number and, for
// NUMBER and STRING, sets its text.
int JsonLex(JSON::detail::TokenText* value, void* scanner);
}

%code {
#define json_yylex JsonLex
#define YYINITDEPTH 200
#define YYMAXDEPTH (4 * JSON::detail::kMaxDepth + 16)
// Blocks for a stack that outgrows its first 200 entries belong to the context, so that
// they are freed even when an action or the scanner throws (out of memory).
#define YYMALLOC context.GrowStack
#define YYFREE context.FreeStack

namespace {

// json_yyerror ends a failed parse: the partial tree is of no use to anyone.
void json_yyerror(void* /*scanner*/, JSON::detail::ParseContext& context, const char*) {
    context.doc.Clear();
}

// Enter counts one more level of nesting; false when the text is nested deeper than
// the parser allows.
bool Enter(JSON::detail::ParseContext& context) {
    return ++context.depth <= JSON::detail::kMaxDepth;
}

void Leave(JSON::detail::ParseContext& context) {
    --context.depth;
    context.doc.End();
}

}  // namespace

// TOO_DEEP fails the parse like any syntax error.
#define TOO_DEEP()                                      \
    do {                                                \
        json_yyerror(scanner, context, "syntax error"); \
        YYABORT;                                        \
    } while (false)
}

/* Declared in this order so that the token numbers run from 258 to 268. */
%token OBJECT_BEGIN "{"
%token OBJECT_END "}"
%token ARRAY_BEGIN "["
%token ARRAY_END "]"
%token LITERAL_TRUE "true"
%token LITERAL_FALSE "false"
%token LITERAL_NULL "null"
%token COMMA ","
%token COLON ":"
/* Their values refer to texts kept in the context's TokenTexts. */
%token NUMBER
%token STRING

%start json

%%

json
    : object
    | array
    ;

object
    : object_open "}"          { Leave(context); }
    | object_open members "}"  { Leave(context); }
    ;

object_open
    : "{"  {
        if (!Enter(context)) TOO_DEEP();
        context.doc.Add(JSON::CreateObject());
    }
    ;

members
    : key value
    | members "," key value
    ;

key
    : STRING ":"  { context.doc.SetPendingKey(context.texts.Take($1)); }
    ;

array
    : array_open "]"           { Leave(context); }
    | array_open elements "]"  { Leave(context); }
    ;

array_open
    : "["  {
        if (!Enter(context)) TOO_DEEP();
        context.doc.Add(JSON::CreateArray());
    }
    ;

elements
    : value
    | elements "," value
    ;

value
    : object
    | array
    | NUMBER   { context.doc.Add(JSON::CreateNumber(context.texts.Take($1))); }
    | STRING   {
        const JSON::detail::TokenText token = $1;
        std::string text = context.texts.Take(token);
        if (token.backslashes) {
            text = JSON::detail::UnescapeValue(std::move(text));
        }
        context.doc.Add(JSON::CreateString(std::move(text), true));
    }
    | "true"   { context.doc.Add(JSON::CreateTrue()); }
    | "false"  { context.doc.Add(JSON::CreateFalse()); }
    | "null"   { context.doc.Add(JSON::CreateNull()); }
    ;
