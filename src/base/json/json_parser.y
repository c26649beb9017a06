// The JSON grammar: an LALR(1) parser whose actions build the tree through JSONDocument.
// The top level must be an object or an array.

%require "3.8"
%skeleton "lalr1.cc"
%expect 0

%define api.namespace {JSON}
%define api.parser.class {Parser}
%define api.value.type {JSON::detail::TokenText}
%define api.token.prefix {TOKEN_}
%define parse.error simple

%param {void* scanner}
%parse-param {JSON::detail::ParseContext& context}

%code requires {
#include "base/json/parser_support.h"
}

%code {
// JsonLex is the scanner (see json_scanner.l): it returns the next token's number and, for
// NUMBER and STRING, sets its text.
int JsonLex(JSON::detail::TokenText* value, void* scanner);
#define yylex JsonLex

namespace {

// Enter counts one more level of nesting and refuses text deeper than the parser allows.
void Enter(JSON::detail::ParseContext& context) {
    if (++context.depth > JSON::detail::kMaxDepth) {
        throw JSON::Parser::syntax_error("syntax error");
    }
}

void Leave(JSON::detail::ParseContext& context) {
    --context.depth;
    context.doc.End();
}

}  // namespace
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
    : "{"  { Enter(context); context.doc.Add(JSON::CreateObject()); }
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
    : "["  { Enter(context); context.doc.Add(JSON::CreateArray()); }
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

%%

void JSON::Parser::error(const std::string& /*message*/) {
    // The partial tree is of no use to anyone.
    context.doc.Clear();
}
