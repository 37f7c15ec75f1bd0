// The database drivers ship no types. The stores (store/sqlite.js,
// store/postgres.js) hold a driver's objects as `any` where they meet it and
// type what they hand on (store/index.js).
declare module 'better-sqlite3';
declare module 'pg';
